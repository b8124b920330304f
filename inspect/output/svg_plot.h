// The picture of a recording, one panel per file: acceleration against time
// as a min/max envelope, the amplitude spectrum with its peaks, the RMS and
// peak trend, and the spectrogram.
#ifndef ACC_INSPECT_SVG_PLOT_H
#define ACC_INSPECT_SVG_PLOT_H

#include "inspect_run.h"

#include <cstdio>

// Writes the SVG document of a valid file's result to `f`: acceleration over
// time, spectrum, RMS and peak over time, spectrogram. Returns 0 or the
// errno value of a failed write; the caller flushes and closes the stream.
int write_svg(std::FILE* f, const char* title, const inspect_result& result);

#endif
