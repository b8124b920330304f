// acc_inspect --history DIR: the long-term trend from the archiver's
// summaries (acc_summary(5)), whose recordings may be long gone. The
// seconds are grouped per UTC hour over up to a week, per UTC day beyond.
#ifndef ACC_INSPECT_HISTORY_H
#define ACC_INSPECT_HISTORY_H

#include <cstdint>
#include <string>
#include <vector>

// One summary line that has a UTC instant.
struct history_second {
    double unix_s;
    double velocity_rms_mm_s;  // NaN: no segment ended in it
    double peak_g;
};

// What a summary file gave, or why it could not be read.
struct summary_read {
    std::uint64_t bad_line;  // 0: none; else the damaged line's number
    int open_error;          // errno when it could not be opened or read
    int version;             // the version line's number; -1 when it has none
};

// Appends the lines of the summary `path` to `seconds`. Returns true when
// the whole file was read; else `read` says why. Prints nothing.
bool read_summary(const char* path, std::vector<history_second>* seconds, summary_read* read);

// One shown interval of the history.
struct history_interval {
    double start_unix_s;
    double length_s;
    std::uint64_t seconds;  // summary lines in it
    double median_velocity_mm_s;
    double largest_velocity_mm_s;
    double largest_peak_g;
    std::uint64_t above_alarm;
    double missing_s;  // of the interval (within the window) without a line
};

// Groups `seconds` (any order; sorted here) into intervals of `length_s`
// from `from_s` to `to_s`, counting velocities above `alarm` (NaN: none).
std::vector<history_interval> group_history(std::vector<history_second>* seconds, double from_s,
                                            double to_s, double length_s, double alarm);

struct arguments;

// Runs the mode. Returns the exit status.
int history_and_write(const arguments& args);

#endif
