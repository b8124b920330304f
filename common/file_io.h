// Reads and writes of a whole count of bytes, through the interruptions and
// short counts read(2) and write(2) may give. Nothing here prints.
#ifndef ACC_COMMON_FILE_IO_H
#define ACC_COMMON_FILE_IO_H

#include <cstddef>
#include <sys/types.h>

// Reads up to `size` bytes at `offset`, fewer only at the end of the file.
// Returns the count, or -1 with errno set.
ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset);

// One read(2), made again when a signal interrupts it: the count, 0 at the
// end of the file, or -1 with errno set.
ssize_t read_some(int fd, void* buffer, std::size_t size);

// The errno a failed call left, EIO when it left none (a stream's error
// flag may be set without one).
int errno_or_io();

// Writes all `size` bytes. Returns 0 or an errno value (EIO when nothing
// could be written).
int write_all(int fd, const void* data, std::size_t size);

#endif
