// While the recorder writes a data file it holds an exclusive flock on it;
// another program tells a file still being recorded by a shared lock that
// it cannot take at once. Nothing here prints or exits.
#ifndef ACC_RECORDING_LOCK_H
#define ACC_RECORDING_LOCK_H

// Takes a shared lock on the file open at `fd` without waiting. Returns 0
// when taken (it keeps any recorder off the file until the descriptor is
// closed), EWOULDBLOCK when a recorder holds the file, else an errno value.
int lock_unless_recorded(int fd);

// True when a recorder holds the file open at `fd`; only looks, holds nothing.
bool held_by_recorder(int fd);

#endif
