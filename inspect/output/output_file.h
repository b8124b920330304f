// Files the inspector writes (the picture, and any other output): never the
// data file it reads, and never half written. An output is written to a
// temporary file beside its target and renamed into place only once it is
// complete and stored, so a full disk or an error leaves any earlier file of
// that name as it was and no partial file behind.
//
// Functions here never print and never exit: they return 0 or an errno value.
#ifndef ACC_INSPECT_OUTPUT_FILE_H
#define ACC_INSPECT_OUTPUT_FILE_H

#include <cstddef>
#include <cstdio>

constexpr std::size_t output_path_size = 4096;

struct output_file {
    char target[output_path_size];  // where the output goes, symbolic links resolved
    char temp[output_path_size];    // the file being written; empty when written in place
    std::FILE* stream;              // nullptr: not open
};

// True when both paths name one existing regular file (same device and
// inode), by whatever path: the same name, another name, a symbolic or a
// hard link.
bool is_same_file(const char* path, const char* other_path);

// True when the open descriptor `fd` is the existing regular file `path`.
bool is_same_file_as_descriptor(const char* path, int fd);

// Opens `out->stream` for the output that is to become `path`: a new
// temporary file in the target's directory, with the mode an existing target
// has (else the mode a new file gets). A target that exists and is not a
// regular file (a terminal, a pipe, /dev/null) is written in place. On
// failure nothing is left open or created.
int output_file_open(output_file* out, const char* path);

// Completes the output: flushes and stores the temporary file, then renames
// it over the target. On failure the temporary file is removed and the
// target left untouched. Always closes the stream.
int output_file_commit(output_file* out);

// Abandons the output after a failed write: closes the stream and removes
// the temporary file; the target is left untouched.
void output_file_discard(output_file* out);

#endif
