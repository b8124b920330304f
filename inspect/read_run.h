// Reads the files of a run through one row pass: one file at a time, in
// the memory of one, its rows read and checked on a thread of their own
// beside the analyses.
#ifndef ACC_INSPECT_READ_RUN_H
#define ACC_INSPECT_READ_RUN_H

#include "inspect_run.h"

#include <cstddef>

// Reads the whole file. Returns true when it is a valid data file; `result`
// says what it holds or why not. Large: allocate it on the heap. Release
// with inspect_result_free on every path.
bool inspect_file(const char* path, const inspect_config& config, inspect_result* result);
bool inspect_fd(int fd, const inspect_config& config, inspect_result* result);
// The files of one run, in order, as one recording: one file at a time, in
// the memory of one. `paths` must outlive `result`.
bool inspect_files(const char* const* paths, std::size_t count, const inspect_config& config,
                   inspect_result* result);

#endif
