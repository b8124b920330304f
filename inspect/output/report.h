// The plain-text report of an inspected data file.
#ifndef ACC_INSPECT_REPORT_H
#define ACC_INSPECT_REPORT_H

#include "inspect_run.h"

#include <cstdio>
#include <string>

// What a report and a picture are headed with: the file, or for a run of
// several the first through the last and how many.
std::string files_named(const char* path, const inspect_result& result);

// Writes the report of a valid file to `out`. Returns 0 or an errno value.
int write_report(std::FILE* out, const char* path, const inspect_result& result,
                 const inspect_config& config);

#endif
