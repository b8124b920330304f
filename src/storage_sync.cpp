#include "storage_sync.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
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

void reset_file(storage_file* file) {
    *file = storage_file{};
    file->fd = -1;
    file->provenance_fd = -1;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void note_failure(storage_sync* sync, const storage_file& file) {
    std::memcpy(sync->failed_path, file.path, sizeof sync->failed_path);
}

// Syncs when the loop has written something since the last sync. Called
// with the lock held; drops it while the storage works. The file stays in
// its place meanwhile even if the loop moves on to a new one.
int sync_new_data(storage_sync* sync, storage_file* file) {
    off_t size = file->written_size;
    std::uint64_t points = file->written_points;
    if (size == file->stored_size) return 0;
    int fd = file->fd;
    pthread_mutex_unlock(&sync->lock);
    // Whatever the loop writes meanwhile is left for the next round: only
    // what was written before the call is known to be covered by it.
    int error = fdatasync(fd) ? errno : 0;
    pthread_mutex_lock(&sync->lock);
    if (error != 0) {
        note_failure(sync, *file);
        return error;
    }
    file->stored_size = size;
    sync->stored_points = points;
    return 0;
}

// The file the loop has left: its last rows to storage, then closed. After a
// failed sync it is cut back to what the last good one stored, so that it
// still ends with a whole row. Called and returns with the lock held.
int retire_file(storage_sync* sync, storage_file* file) {
    int error = sync_new_data(sync, file);
    pthread_mutex_unlock(&sync->lock);
    // A failure of the cut itself changes nothing: the sync's is reported.
    if (error != 0) cut_back_data_file(file->stream, file->stored_size);
    int close_error = close_data_file(file->stream);
    pthread_mutex_lock(&sync->lock);
    file->stream = nullptr;
    file->fd = -1;
    sync->retiring = false;
    if (error == 0 && close_error != 0) {
        note_failure(sync, *file);
        error = close_error;
    }
    return error;
}

// A new file's name and provenance, so that both survive a power cut along
// with its header (the next round syncs that). Lock held as above.
int store_entry(storage_sync* sync, storage_file* file) {
    int provenance_fd = file->provenance_fd;
    pthread_mutex_unlock(&sync->lock);
    int error = sync_directory(sync->dir_path);
    if (error == 0 && provenance_fd >= 0 && fsync(provenance_fd) != 0) error = errno;
    if (provenance_fd >= 0 && close(provenance_fd) != 0 && error == 0) error = errno;
    pthread_mutex_lock(&sync->lock);
    file->provenance_fd = -1;
    file->entry_pending = false;
    if (error != 0) note_failure(sync, *file);
    return error;
}

bool work_waiting(const storage_sync* sync) {
    return sync->retiring || (sync->current >= 0 && sync->files[sync->current].entry_pending);
}

void* run_storage_sync(void* argument) {
    auto* sync = static_cast<storage_sync*>(argument);
    int error = 0;
    timespec next_round{};
    pthread_mutex_lock(&sync->lock);
    while (error == 0) {
        // A new file: the old one's last rows come first, then the new
        // one's entry and, at once, its first round.
        if (sync->retiring) {
            error = retire_file(sync, &sync->files[1 - sync->current]);
            if (error != 0) break;
        }
        if (sync->current >= 0 && sync->files[sync->current].entry_pending) {
            error = store_entry(sync, &sync->files[sync->current]);
            if (error != 0) break;
            next_round = monotonic_now();
        }
        if (sync->current >= 0 && !before(monotonic_now(), next_round)) {
            timespec round = monotonic_now();
            error = sync_new_data(sync, &sync->files[sync->current]);
            if (error != 0) break;
            // A sync that took longer than the interval is followed at once.
            next_round = plus_seconds(round, sync->interval_s);
        }
        // The final sync on stopping is the caller's, before its summary.
        if (sync->stop_requested) break;
        if (sync->current < 0) {
            pthread_cond_wait(&sync->wake, &sync->lock);
            continue;
        }
        while (!sync->stop_requested && !work_waiting(sync) &&
               pthread_cond_timedwait(&sync->wake, &sync->lock, &next_round) != ETIMEDOUT) {
        }
    }
    // After a failure the thread does no more: the loop stops at its next
    // block and the files are cut back to what the last good syncs stored.
    if (error != 0) sync->error.store(error, std::memory_order_release);
    pthread_mutex_unlock(&sync->lock);
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

int start_storage_sync(storage_sync* sync, const char* dir_of_path, double interval_s) {
    copy_directory_of(sync->dir_path, sizeof sync->dir_path, dir_of_path);
    sync->interval_s = interval_s;
    sync->stop_requested = false;
    for (storage_file& file : sync->files) reset_file(&file);
    sync->current = -1;
    sync->retiring = false;
    sync->stored_points = 0;
    sync->failed_path[0] = '\0';
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

int start_storage_file(storage_sync* sync, std::FILE* previous, int fd, int provenance_fd,
                       const char* path, off_t written_size) {
    pthread_mutex_lock(&sync->lock);
    int error = storage_sync_error(sync);
    if (error == 0) {
        int next = sync->current < 0 ? 0 : 1 - sync->current;
        std::uint64_t points = 0;
        if (sync->current >= 0) {
            storage_file* left = &sync->files[sync->current];
            left->stream = previous;
            points = left->written_points;
            sync->retiring = true;
        }
        storage_file* file = &sync->files[next];
        reset_file(file);
        file->fd = fd;
        file->provenance_fd = provenance_fd;
        file->entry_pending = true;
        std::snprintf(file->path, sizeof file->path, "%s", path);
        file->written_size = written_size;
        file->written_points = points;
        sync->current = next;
        pthread_cond_signal(&sync->wake);
    }
    pthread_mutex_unlock(&sync->lock);
    return error;
}

bool storage_ready_for_file(storage_sync* sync) {
    pthread_mutex_lock(&sync->lock);
    bool ready = storage_sync_error(sync) == 0 && !work_waiting(sync);
    pthread_mutex_unlock(&sync->lock);
    return ready;
}

void note_written(storage_sync* sync, off_t size, std::uint64_t points) {
    pthread_mutex_lock(&sync->lock);
    if (sync->current >= 0) {
        storage_file* file = &sync->files[sync->current];
        file->written_size = size;
        file->written_points = points;
    }
    pthread_mutex_unlock(&sync->lock);
}

storage_result stop_storage_sync(storage_sync* sync) {
    if (sync->started) {
        pthread_mutex_lock(&sync->lock);
        sync->stop_requested = true;
        pthread_cond_signal(&sync->wake);
        pthread_mutex_unlock(&sync->lock);
        pthread_join(sync->thread, nullptr);
        pthread_mutex_destroy(&sync->lock);
        pthread_cond_destroy(&sync->wake);
        sync->started = false;
        // Left over only after a failure, which is the one reported.
        for (storage_file& file : sync->files) {
            if (file.provenance_fd >= 0) close(file.provenance_fd);
            file.provenance_fd = -1;
        }
        if (sync->retiring) {
            storage_file* left = &sync->files[1 - sync->current];
            cut_back_data_file(left->stream, left->stored_size);
            close_data_file(left->stream);
            left->stream = nullptr;
            left->fd = -1;
            sync->retiring = false;
        }
    }
    storage_result result{};
    result.error = storage_sync_error(sync);
    std::memcpy(result.failed_path, sync->failed_path, sizeof result.failed_path);
    if (sync->current >= 0) result.stored_size = sync->files[sync->current].stored_size;
    result.stored_points = sync->stored_points;
    return result;
}
