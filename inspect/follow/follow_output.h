// What a follower writes for each interval: a line for a person, and a
// Prometheus text-format file of the latest levels for the node exporter's
// textfile collector. (The JSON Lines are json_output's.)
#ifndef ACC_INSPECT_FOLLOW_OUTPUT_H
#define ACC_INSPECT_FOLLOW_OUTPUT_H

#include "json_output.h"

#include <cstdio>

// "2026-12-09T08:40:01.000Z  rms 0.353556 g  peak 0.503998 g  velocity
// 11.254 mm/s  dominant 50.00 Hz  gaps 0  overlaps 0", on one line, the
// clock time as row seconds without provenance, and "  ALARM" when the
// velocity RMS is above `alarm_mm_s`. Returns 0 or an errno value.
int write_follow_line(std::FILE* out, const followed_interval& f, double alarm_mm_s);

// The gauges of the interval, labelled with the run and the file; `stalled`
// says whether the file has stopped growing since, `following` (1 or 0,
// -1: no such gauge) whether its run is still being followed. Returns 0 or
// an errno value.
int write_prom(std::FILE* out, const followed_interval& f, bool stalled, int following);

// How a followed run ended, for the follower's summary: stopped, let go of
// by the recorder, or interrupted with `tail` after its last whole row.
void describe_follow_end(bool stopped, const interrupted_tail& tail, char* out,
                         std::size_t out_size);

#endif
