// acc_inspect --history DIR: the long-term trend from the archiver's
// summaries (acc_summary(5)), whose recordings may be long gone. The
// seconds are grouped per UTC hour over up to a week, per UTC day beyond.
#ifndef ACC_INSPECT_HISTORY_H
#define ACC_INSPECT_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The seconds of one summary that fall in one UTC hour. A day is a whole
// number of hours, so an hour lies in one shown interval whatever its length.
struct summary_hour {
    double start_unix_s;
    std::uint64_t seconds;
    double largest_peak_g;       // NaN: no line had a peak
    std::size_t first_velocity;  // into the summary's velocities
    std::size_t velocities;      // lines with a velocity RMS
};

// What a summary file gave within the window, or why it could not be read.
struct summary_read {
    std::uint64_t bad_line;  // 0: none; else the damaged line's number
    int open_error;          // errno when it could not be opened or read
    int version;             // the version line's number; -1 when it has none
    std::vector<summary_hour> hours;
    std::vector<double> velocities;
    double first_s;  // the first and last second in the window
    double last_s;
    std::uint64_t seconds;      // in the window
    std::uint64_t without_utc;  // lines without an instant: no provenance
};

// Reads the summary `path`, keeping its lines whose instant is in
// [from_s, to_s). Returns true when the whole file was read; else `read`
// says why. Prints nothing.
bool read_summary(const char* path, double from_s, double to_s, summary_read* read);

// One shown interval of the history.
struct history_interval {
    double start_unix_s;
    double length_s;
    std::uint64_t seconds;  // summary lines in it
    double median_velocity_mm_s;
    double smallest_velocity_mm_s;
    double largest_velocity_mm_s;
    double largest_peak_g;
    std::uint64_t above_alarm;
    double missing_s;  // of the interval (within the window) without a line
};

// Groups the summaries' hours into intervals of `length_s` (an hour or a
// day) from the first to the last, `from_s` and `to_s` bounding the time
// each could miss, counting velocities above `alarm` (NaN: none).
std::vector<history_interval> group_history(const std::vector<summary_read>& summaries,
                                            double from_s, double to_s, double length_s,
                                            double alarm);

struct arguments;

// Runs the mode. Returns the exit status.
int history_and_write(const arguments& args);

#endif
