// The text of a recording's summary (acc_summary(5)), which the archiver
// writes and the archiver's retention and the inspector's history read:
// a version line, the header, then one line per interval of the trend.
#ifndef ACC_SUMMARY_FORMAT_H
#define ACC_SUMMARY_FORMAT_H

constexpr int summary_version = 1;
constexpr char summary_format_line[] = "# acc_summary 1\n";
constexpr char summary_header_line[] =
    "start_utc,start_s,rows,rms_g,peak_g,velocity_rms_mm_s,dominant_hz,kurtosis,gaps,overlaps\n";
constexpr int summary_columns = 10;

// The figures of one line that the readers use.
struct summary_line {
    const char* start_utc;     // empty: the recording had no provenance, so no instant
    double peak_g;             // NaN where empty
    double velocity_rms_mm_s;  // NaN where empty: no segment ended in the interval
};

// A first line "# acc_summary N\n": N; -1 when the line is not one.
int parse_summary_version(const char* line);

// One line after the header, split in place: true when it has every column,
// ends in its line feed, and its peak and velocity are numbers or empty.
bool parse_summary_line(char* line, summary_line* out);

#endif
