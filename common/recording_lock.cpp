#include "recording_lock.h"

#include <cerrno>
#include <sys/file.h>

int lock_unless_recorded(int fd) { return flock(fd, LOCK_SH | LOCK_NB) == 0 ? 0 : errno; }

bool held_by_recorder(int fd) {
    const int error = lock_unless_recorded(fd);
    if (error == 0) flock(fd, LOCK_UN);
    return error == EWOULDBLOCK;
}
