// The report for scripts: every figure of the text report under stable keys,
// units in the key names, plus the whole spectrum, the octave bands and the
// trend. Values that are not finite are null.
#ifndef ACC_INSPECT_JSON_OUTPUT_H
#define ACC_INSPECT_JSON_OUTPUT_H

#include "inspect_run.h"

#include <cstddef>
#include <cstdio>

// Room for any double as JSON: 17 digits, sign, point, exponent, zero.
constexpr std::size_t json_number_size = 32;

// `v` as JSON: the shortest of 15, 16 or 17 significant digits that reads
// back as the same double, with a decimal point in any locale; null when it
// is not finite. Returns `out`.
const char* format_json_number(double v, char (&out)[json_number_size]);

// Returns 0 or an errno value.
int write_json(std::FILE* out, const char* path, const inspect_result& result,
               const inspect_config& config);

#endif
