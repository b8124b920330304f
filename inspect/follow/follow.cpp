#include "follow.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "data_file_name.h"
#include "recording_lock.h"

namespace {

// Waits on inotify wake at every write; these only bound how late a stall,
// a let-go lock or a signal is seen. Without inotify the files are looked at
// this often.
constexpr int notify_wait_ms = 500;
constexpr int poll_wait_ms = 250;
// A long catch-up still sees a signal.
constexpr std::uint64_t rows_between_stop_checks = 65536;

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The provenance file is written just after its data file is made.
void read_clock(follow_state* f, const char* data_path) {
    provenance_of(data_path, &f->prov);
    f->clock = clock_of(f->prov);
}

int open_file(follow_state* f) {
    int error = csv_reader_open(&f->reader, f->path, f->config.buffer_size);
    if (error != 0) return error;
    f->reader_open = true;
    f->reader.growing = true;
    f->part = part_summary{};
    f->part.path = f->path;
    f->result->stats.part = f->files;
    f->result->stats.joining = f->files > 0;
    ++f->files;
    f->next_path[0] = '\0';
    f->waiting = false;
    f->finishing = false;
    f->released_s = -1.0;
    f->stall_reported = false;
    f->last_growth_s = now_s();
    return 0;
}

// Whether two names are of one file of the recording, the archiver's
// form of it or not.
bool same_file(const char* a, const char* b) {
    std::size_t a_stem = 0;
    std::size_t b_stem = 0;
    if (!data_file_stem(a, &a_stem) || !data_file_stem(b, &b_stem)) return std::strcmp(a, b) == 0;
    return a_stem == b_stem && std::strncmp(a, b, a_stem) == 0;
}

// Into next_path: the file `after` places past `path` among the run's files
// in the directory as they are named now, once it has appeared with its
// provenance.
void find_in_run(follow_state* f, const char* path, std::size_t after) {
    if (!f->clock.known) read_clock(f, f->path);
    if (!f->clock.known) return;
    run_plan plan;
    plan_run(std::vector<std::string>{f->dir}, f->clock.run_id, &plan);
    if (plan.fault != run_fault::none) return;
    const char* name = base_name(path);
    for (std::size_t i = 0; i + after < plan.files.size(); ++i)
        if (same_file(base_name(plan.files[i].path.c_str()), name)) {
            std::snprintf(f->next_path, sizeof f->next_path, "%s",
                          plan.files[i + after].path.c_str());
            return;
        }
}

void find_next(follow_state* f) { find_in_run(f, f->path, 1); }

enum class read_outcome { rows, at_end, file_done, failed };

// Reads rows until an interval closes, the rows written so far run out, the
// file ends or a fault.
read_outcome read_rows(follow_state* f) {
    csv_row row;
    for (std::uint64_t n = 0; n < rows_between_stop_checks; ++n) {
        switch (csv_reader_next(&f->reader, &row)) {
            case read_status::row:
                break;
            case read_status::more:
                return n > 0 ? read_outcome::rows : read_outcome::at_end;
            case read_status::end:
                return read_outcome::file_done;
            case read_status::failed:
                return read_outcome::failed;
        }
        row_pass_add(&f->pass, f->config, f->result, &f->part, row, f->reader.line);
        if (f->result->trend.intervals.count > f->reported) return read_outcome::rows;
    }
    return read_outcome::rows;
}

follow_report report(follow_event event, const follow_state* f) {
    return follow_report{event, nullptr, f->path};
}

// The file the recorder let go of is read to its end: then the run goes on
// in the next file, or ends once the last interval is reported.
void at_file_end(follow_state* f) {
    f->part.tail = f->reader.tail;
    f->result->tail = f->reader.tail;
    csv_reader_close(&f->reader);
    f->reader_open = false;
    if (f->next_path[0] == '\0') {
        trend_finish(&f->result->trend);
        f->done = true;
        return;
    }
    std::memcpy(f->path, f->next_path, sizeof f->path);
    f->open_error = open_file(f);
    if (f->open_error == ENOENT) {
        // Archived since it was found: on in its archived form.
        f->next_path[0] = '\0';
        find_in_run(f, f->path, 0);
        if (f->next_path[0] != '\0') {
            std::memcpy(f->path, f->next_path, sizeof f->path);
            f->open_error = open_file(f);
        }
    }
    f->announce_file = f->open_error == 0;
}

// At the end of what is written: a stall, the lock let go, or a wait.
bool look_around(follow_state* f, follow_report* out) {
    const double now = now_s();
    if (held_by_recorder(f->reader.source.fd)) {
        f->released_s = -1.0;
        // At a switch the recorder writes the next file while the file
        // before it is still being stored and closed: no stall.
        const bool quiet = !f->stall_reported && now - f->last_growth_s >= follow_stall_s;
        if (quiet && f->next_path[0] == '\0') find_next(f);
        if (quiet && f->next_path[0] == '\0') {
            f->stall_reported = true;
            *out = report(follow_event::stalled, f);
            return true;
        }
        return false;
    }
    if (f->released_s < 0.0) f->released_s = now;
    if (f->next_path[0] == '\0') find_next(f);
    if (f->next_path[0] != '\0' || now - f->released_s >= follow_end_s) {
        // Nothing more is written to it: a line cut short is a fault now,
        // unless the run ends here, interrupted.
        f->finishing = true;
        f->reader.growing = false;
        f->reader.last_of_run = f->next_path[0] == '\0';
    }
    return false;
}

}  // namespace

int watch_directory(const char* dir) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0 && inotify_add_watch(fd, dir, IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

void wait_on_directory(int notify_fd) {
    if (notify_fd < 0) {
        poll(nullptr, 0, poll_wait_ms);
        return;
    }
    pollfd p{notify_fd, POLLIN, 0};
    if (poll(&p, 1, notify_wait_ms) <= 0) return;  // a signal, or nothing within the wait
    alignas(inotify_event) char events[4096];
    while (read(notify_fd, events, sizeof events) > 0) {
    }
}

int follow_start(follow_state* f, const run_file& first, const inspect_config& config,
                 const volatile std::sig_atomic_t* stop) {
    f->config = config;
    f->stop = stop;
    f->notify_fd = -1;
    f->result = static_cast<inspect_result*>(std::calloc(1, sizeof(inspect_result)));
    if (!f->result) return ENOMEM;
    int error = row_pass_init(&f->pass, config, f->result);
    if (error != 0) return error;
    f->pass_ready = true;
    std::snprintf(f->path, sizeof f->path, "%s", first.path.c_str());
    // The directory with its '/', or "." for a bare name.
    const int dir_length = static_cast<int>(base_name(f->path) - f->path);
    std::snprintf(f->dir, sizeof f->dir, "%.*s", dir_length > 0 ? dir_length : 1,
                  dir_length > 0 ? f->path : ".");
    f->prov = first.prov;
    f->clock = clock_of(f->prov);
    f->notify_fd = watch_directory(f->dir);
    f->open_error = open_file(f);
    return 0;
}

follow_report follow_next(follow_state* f) {
    trend_state& trend = f->result->trend;
    // The interval handed out last is done with.
    if (!f->done && f->reported == trend.intervals.count) trend.intervals.count = f->reported = 0;
    for (;;) {
        if (f->reported < trend.intervals.count) {
            if (!f->clock.known) read_clock(f, f->path);
            follow_report r = report(follow_event::interval, f);
            r.interval = &trend.intervals.slots[f->reported++];
            return r;
        }
        if (f->done) return report(follow_event::ended, f);
        if (f->announce_file) {
            f->announce_file = false;
            return report(follow_event::next_file, f);
        }
        if (f->open_error != 0 || f->reader.failure.fault != read_fault::none)
            return report(follow_event::failed, f);
        if (*f->stop) return report(follow_event::stopped, f);
        if (!f->waiting) {
            switch (read_rows(f)) {
                case read_outcome::rows:
                    f->last_growth_s = now_s();
                    f->stall_reported = false;
                    f->reported_caught_up = false;
                    break;
                case read_outcome::at_end:
                    f->waiting = !f->finishing;
                    break;
                case read_outcome::file_done:
                    at_file_end(f);
                    break;
                case read_outcome::failed:
                    break;
            }
            continue;
        }
        if (!f->reported_caught_up) {
            f->reported_caught_up = true;
            return report(follow_event::caught_up, f);
        }
        follow_report r{};
        if (look_around(f, &r)) return r;
        if (!f->finishing) wait_on_directory(f->notify_fd);
        f->waiting = false;
    }
}

void follow_free(follow_state* f) {
    if (f->reader_open) csv_reader_close(&f->reader);
    f->reader_open = false;
    if (f->notify_fd >= 0) close(f->notify_fd);
    f->notify_fd = -1;
    if (f->pass_ready) row_pass_free(&f->pass);
    f->pass_ready = false;
    if (f->result) inspect_result_free(f->result);
    std::free(f->result);
    f->result = nullptr;
}
