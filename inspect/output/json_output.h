// The report for scripts: every figure of the text report under stable keys,
// units in the key names, plus the whole spectrum, the octave bands and the
// trend. Values that are not finite are null.
#ifndef ACC_INSPECT_JSON_OUTPUT_H
#define ACC_INSPECT_JSON_OUTPUT_H

#include "inspect_run.h"

#include <cstdio>

// Returns 0 or an errno value.
int write_json(std::FILE* out, const char* path, const inspect_result& result,
               const inspect_config& config);

#endif
