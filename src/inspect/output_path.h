// Every file acc_inspect writes (picture, JSON, CSV) is opened and closed
// here, so that how an output file is made lives in one place.
#ifndef ACC_INSPECT_OUTPUT_PATH_H
#define ACC_INSPECT_OUTPUT_PATH_H

#include <cstdio>

// Opens `path` for writing. Returns 0 with `*out` set, or an errno value.
int output_open(const char* path, std::FILE** out);

// Finishes the file opened by output_open: flushes and closes it. Returns
// `error` if nonzero (the writer's own failure), else 0 or an errno value.
int output_close(std::FILE* out, const char* path, int error);

#endif
