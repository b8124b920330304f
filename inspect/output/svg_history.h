// The picture of the history: the velocity RMS of each interval over UTC
// time, its median as a line inside the band from its smallest to its
// largest, the intervals above the alarm marked, those without a summary
// left empty.
#ifndef ACC_INSPECT_SVG_HISTORY_H
#define ACC_INSPECT_SVG_HISTORY_H

#include "history.h"

#include <cstdio>
#include <vector>

struct history_picture {
    const char* title;  // as it is, escaped here
    const char* subtitle;
    const std::vector<history_interval>* intervals;
    double from_s;  // the window; infinite where open
    double to_s;
    double alarm_mm_s;  // NaN: none
};

// Writes the SVG document to `f`. Returns 0 or the errno value of a failed
// write; the caller flushes and closes the stream.
int write_history_svg(std::FILE* f, const history_picture& picture);

#endif
