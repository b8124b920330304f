// The plain-text report of an inspected data file.
#ifndef ACC_INSPECT_REPORT_H
#define ACC_INSPECT_REPORT_H

#include "inspect_run.h"

#include <cstdio>

// Writes the report of a valid file to `out`. Returns 0 or an errno value.
int write_report(std::FILE* out, const char* path, const inspect_result& result,
                 const inspect_config& config);

#endif
