// The report for scripts: every figure of the text report under stable keys,
// units in the key names, plus the whole spectrum, the octave bands and the
// trend. Values that are not finite are null.
#ifndef ACC_INSPECT_JSON_OUTPUT_H
#define ACC_INSPECT_JSON_OUTPUT_H

#include "inspect_run.h"
#include "text_escape.h"

#include <cstddef>
#include <cstdio>

// Returns 0 or an errno value.
int write_json(std::FILE* out, const char* path, const inspect_result& result,
               const inspect_config& config);

// One interval of a recording being followed, and where the run stands.
struct followed_interval {
    const trend_state* trend;
    const trend_interval* interval;
    const run_clock* clock;
    const char* file;    // that the interval's last row is in
    std::uint64_t gaps;  // so far
    std::uint64_t overlaps;
    bool alarm_given;
    bool above_alarm;  // its velocity RMS is above the alarm level
};

// One JSON object on one line: the keys of a trend interval, then the
// clock time, the velocity RMS, the gaps and overlaps so far, the alarm,
// the file and the run. Returns 0 or an errno value.
int write_json_line(std::FILE* out, const followed_interval& f);

#endif
