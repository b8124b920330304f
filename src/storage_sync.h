// Forcing the data file to storage off the recording loop.
//
// A flush to an SD card can stall for hundreds of milliseconds or more, and
// the reads must not wait for it: one small thread owns the syncing. Every
// interval it forces what the loop has written to storage (fdatasync, which
// covers the file's size); the loop only tells it, after each block, how far
// the file holds whole blocks, and checks once per block whether a sync
// failed. Nothing here prints or exits.
#ifndef ACC_STORAGE_SYNC_H
#define ACC_STORAGE_SYNC_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

#include "data_file.h"

struct storage_sync {
    bool started;  // false: not started, nothing to release
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t wake;
    int fd;                        // the data file, owned by the caller
    char dir_path[csv_path_size];  // the directory holding it
    double interval_s;
    // Guarded by `lock` while the thread runs; plain values once stopped.
    bool stop_requested;
    off_t written_size;            // whole blocks handed to the kernel
    std::uint64_t written_points;  // rows in those bytes
    off_t stored_size;             // covered by the last successful sync
    std::uint64_t stored_points;
    // 0, or the errno of the failed sync after which the thread gave up.
    std::atomic<int> error;
};

// Starts the thread for the data file `fd` at `path`, which holds
// `written_size` bytes without rows. Its first job is to make the new
// directory entry and those bytes durable; then it syncs every `interval_s`
// seconds while there is something new. Returns 0 or an errno value.
int start_storage_sync(storage_sync* sync, int fd, const char* path, off_t written_size,
                       double interval_s);

// The file now holds `size` bytes of whole blocks, `points` rows. Never
// waits for storage.
void note_written(storage_sync* sync, off_t size, std::uint64_t points);

// 0, or the errno of a failed sync. One atomic load.
inline int storage_sync_error(const storage_sync* sync) {
    return sync->error.load(std::memory_order_acquire);
}

// Stops and joins the thread, when started; waits for a sync in progress.
// Afterwards `stored_size` and `stored_points` tell what is known to be on
// storage. Returns storage_sync_error.
int stop_storage_sync(storage_sync* sync);

// Forces a directory's entries to storage. Returns 0 or an errno value.
int sync_directory(const char* dir_path);

#endif
