#include "storage_sync.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

timespec monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec plus_seconds(timespec at, double seconds) {
    constexpr long nanos_per_second = 1000000000L;
    auto whole = static_cast<time_t>(seconds);
    at.tv_sec += whole;
    at.tv_nsec += static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
    if (at.tv_nsec >= nanos_per_second) {
        at.tv_nsec -= nanos_per_second;
        ++at.tv_sec;
    }
    return at;
}

void copy_directory_of(char* dir_path, std::size_t dir_size, const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
        std::strcpy(dir_path, ".");
        return;
    }
    std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= dir_size) length = dir_size - 1;
    std::memcpy(dir_path, path, length);
    dir_path[length] = '\0';
}

// Syncs when the loop has written something since the last sync. Called
// with the lock held; drops it while the storage works.
int sync_new_data(storage_sync* sync) {
    off_t size = sync->written_size;
    std::uint64_t points = sync->written_points;
    if (size == sync->stored_size) return 0;
    pthread_mutex_unlock(&sync->lock);
    // Whatever the loop writes meanwhile is left for the next round: only
    // what was written before the call is known to be covered by it.
    int error = fdatasync(sync->fd) ? errno : 0;
    pthread_mutex_lock(&sync->lock);
    if (error == 0) {
        sync->stored_size = size;
        sync->stored_points = points;
    }
    return error;
}

void* run_storage_sync(void* argument) {
    auto* sync = static_cast<storage_sync*>(argument);
    // The file is new: its name must survive as well as its bytes.
    int error = sync_directory(sync->dir_path);
    pthread_mutex_lock(&sync->lock);
    while (error == 0) {
        timespec round = monotonic_now();
        error = sync_new_data(sync);
        if (error != 0 || sync->stop_requested) break;
        // A sync that took longer than the interval is followed at once.
        timespec next = plus_seconds(round, sync->interval_s);
        while (!sync->stop_requested &&
               pthread_cond_timedwait(&sync->wake, &sync->lock, &next) != ETIMEDOUT) {
        }
        // The final sync on stopping is the caller's, before its summary.
        if (sync->stop_requested) break;
    }
    pthread_mutex_unlock(&sync->lock);
    // After a failure the thread does no more: the loop stops at its next
    // block and the file is cut back to what the last good sync covered.
    if (error != 0) sync->error.store(error, std::memory_order_release);
    return nullptr;
}

}  // namespace

int sync_directory(const char* dir_path) {
    int dir_fd = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return errno;
    int error = fsync(dir_fd) ? errno : 0;
    close(dir_fd);
    return error;
}

int start_storage_sync(storage_sync* sync, int fd, const char* path, off_t written_size,
                       double interval_s) {
    sync->fd = fd;
    copy_directory_of(sync->dir_path, sizeof sync->dir_path, path);
    sync->interval_s = interval_s;
    sync->stop_requested = false;
    sync->written_size = written_size;
    sync->written_points = 0;
    sync->stored_size = 0;
    sync->stored_points = 0;
    sync->error.store(0);

    pthread_condattr_t wake_attr;
    int error = pthread_condattr_init(&wake_attr);
    if (error != 0) return error;
    pthread_condattr_setclock(&wake_attr, CLOCK_MONOTONIC);
    error = pthread_cond_init(&sync->wake, &wake_attr);
    pthread_condattr_destroy(&wake_attr);
    if (error != 0) return error;
    error = pthread_mutex_init(&sync->lock, nullptr);
    if (error != 0) {
        pthread_cond_destroy(&sync->wake);
        return error;
    }
    // Stop signals and the like stay with the recording loop.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    error = pthread_create(&sync->thread, nullptr, run_storage_sync, sync);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        pthread_mutex_destroy(&sync->lock);
        pthread_cond_destroy(&sync->wake);
        return error;
    }
    sync->started = true;
    return 0;
}

void note_written(storage_sync* sync, off_t size, std::uint64_t points) {
    pthread_mutex_lock(&sync->lock);
    sync->written_size = size;
    sync->written_points = points;
    pthread_mutex_unlock(&sync->lock);
}

int stop_storage_sync(storage_sync* sync) {
    if (sync->started) {
        pthread_mutex_lock(&sync->lock);
        sync->stop_requested = true;
        pthread_cond_signal(&sync->wake);
        pthread_mutex_unlock(&sync->lock);
        pthread_join(sync->thread, nullptr);
        pthread_mutex_destroy(&sync->lock);
        pthread_cond_destroy(&sync->wake);
        sync->started = false;
    }
    return storage_sync_error(sync);
}
