// Forcing the data files to storage off the recording loop.
//
// A flush to an SD card can stall for hundreds of milliseconds or more, and
// the reads must not wait for it: one small thread owns the syncing. Every
// interval it forces what the loop has written to storage (fdatasync, which
// covers the file's size); the loop only tells it, after each block, how far
// the file holds whole blocks, and checks once per block whether a sync
// failed. When the loop goes on into a new file, the thread also stores the
// previous file's last rows and closes it, and makes the new file's
// directory entry and provenance durable. Nothing here prints or exits.
#ifndef ACC_STORAGE_SYNC_H
#define ACC_STORAGE_SYNC_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <sys/types.h>

#include "data_file.h"

// One data file as the thread sees it.
struct storage_file {
    std::FILE* stream;  // the thread closes it once the file is retired
    int fd;
    int provenance_fd;   // -1 once stored and closed
    bool entry_pending;  // directory entry and provenance not yet stored
    char path[csv_path_size];
    off_t written_size;            // whole blocks handed to the kernel
    std::uint64_t written_points;  // rows of the run up to the end of those bytes
    off_t stored_size;             // covered by the last successful sync
};

struct storage_sync {
    bool started;  // false: not started, nothing to release
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t wake;
    char dir_path[csv_path_size];  // the directory holding the files
    double interval_s;
    // Guarded by `lock` while the thread runs; plain values once stopped.
    bool stop_requested;
    storage_file files[2];
    int current;                      // index of the file being written; -1 before the first
    bool retiring;                    // the other file waits for its last sync and its close
    std::uint64_t stored_points;      // rows of the run known to be on storage
    char failed_path[csv_path_size];  // the data file whose storage failed
    // 0, or the errno of the failure after which the thread gave up.
    std::atomic<int> error;
};

// Starts the thread; it waits for the first file. Returns 0 or an errno
// value.
int start_storage_sync(storage_sync* sync, const char* dir_of_path, double interval_s);

// A new data file `fd` at `path` holds `written_size` bytes without rows, its
// provenance is `provenance_fd`; the previous file's stream, if any, stops
// being the caller's. The thread at once stores the previous file's last
// rows and closes it, then the new file's directory entry, provenance and
// header, and closes the provenance. Never waits for storage. Returns 0, or
// the thread's error, in which case nothing was handed over.
int start_storage_file(storage_sync* sync, std::FILE* previous, int fd, int provenance_fd,
                       const char* path, off_t written_size);

// Whether a new file can be handed over: the last one is wholly started
// and nothing waits to be retired.
bool storage_ready_for_file(storage_sync* sync);

// The file now holds `size` bytes of whole blocks, `points` rows of the run.
// Never waits for storage.
void note_written(storage_sync* sync, off_t size, std::uint64_t points);

// 0, or the errno of a failed sync. One atomic load.
inline int storage_sync_error(const storage_sync* sync) {
    return sync->error.load(std::memory_order_acquire);
}

// What the thread hands back once stopped.
struct storage_result {
    int error;                        // 0, or the errno of the failure after which it gave up
    char failed_path[csv_path_size];  // the data file whose storage failed
    off_t stored_size;                // of the file being written, covered by its last good sync
    std::uint64_t stored_points;      // rows of the run known to be on storage
};

// Stops and joins the thread, when started; waits for a sync in progress.
// What a failure left unfinished is released: a file still to be retired is
// cut back to what its last sync stored and closed.
storage_result stop_storage_sync(storage_sync* sync);

// Forces a directory's entries to storage. Returns 0 or an errno value.
int sync_directory(const char* dir_path);

#endif
