// What one file of a data directory is to the archiver: a data file the
// recorder has finished, one it is still recording, or no recording at all;
// and whether a compressed file holds a recording. Nothing here prints.
#ifndef ACC_RECORDED_FILE_H
#define ACC_RECORDED_FILE_H

// Where a data file stands.
enum class data_state {
    absent,
    not_recording,   // not a regular file, or not the recorder's header
    being_recorded,  // a recorder holds its lock
    finished,
};

// Opens `name` and tells what it is. A finished data file is left open in
// *fd with a shared lock held, which keeps any recorder off it; otherwise
// *fd is -1. Returns 0 or an errno value (the file could not be opened).
int open_data_file(int dir_fd, const char* name, data_state* state, int* fd);

// True when the file at `fd` is a compressed stream or a compact file that
// begins with the data file's header.
bool compressed_starts_with_header(int fd);

#endif
