// The whole recorder against the unpaced simulated device: CPU time and peak
// memory per recorded sample, the real row writer against the same loop with
// one fprintf per row. Each case runs the real program until the data file
// holds the requested number of rows, stops it with SIGTERM as a user would,
// and takes the child's resource usage.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "data_file.h"
#include "program_runner.h"

namespace {

// Far beyond any case here, even on a slow machine; a recorder that never
// gets there is killed and the case fails.
constexpr double run_deadline_s = 120.0;
constexpr int poll_interval_ms = 1;

bool any_case_failed = false;

struct recording_result {
    std::string error;  // empty when the run and its data file are sound
    std::uint64_t total_points;
    double user_s;
    double sys_s;
    double wall_s;
    long peak_rss_kib;
    long ru_maxrss_kib;
};

// Counts the lines of the data file as it grows.
struct line_counter {
    int fd;
    std::uint64_t lines;
    char last_byte;
};

void count_new_lines(line_counter* counter) {
    static char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(counter->fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        counter->lines += static_cast<std::uint64_t>(std::count(buffer, buffer + got, '\n'));
        counter->last_byte = buffer[got - 1];
    }
}

void drain(int* fd, std::string* text) {
    if (*fd < 0) return;
    char buffer[4096];
    ssize_t got = read(*fd, buffer, sizeof buffer);
    if (got > 0) {
        text->append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        close(*fd);
        *fd = -1;
    }
}

// The high-water mark of the process's own memory. ru_maxrss cannot tell
// this apart from the forking benchmark's resident size, which the kernel
// carries over into the child through exec.
long read_vm_hwm_kib(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    std::string status = read_file(path);
    std::vector<std::string> lines = lines_starting_with(status, "VmHWM:");
    if (lines.empty()) return -1;
    return std::strtol(lines.front().c_str() + 6, nullptr, 10);
}

// Everything the recorder might inherit that would slow it down or change
// what it records: an empty value is the same as unset.
std::vector<std::string> unpaced_environment() {
    return {"ACTS2200_SIM_UNPACED=1",
            "ACTS2200_SIM_LOG=",
            "ACTS2200_SIM_FAIL=",
            "ACTS2200_SIM_FAIL_READS=",
            "ACTS2200_SIM_FAILED_READ_COUNT=",
            "ACTS2200_SIM_SHORT_READS=",
            "ACTS2200_SIM_OVER_REPORT=",
            "ACTS2200_SIM_VALUES="};
}

double seconds_of(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

std::string check_data_file(const line_counter& counter, std::uint64_t total_points) {
    char head[data_file_header_size];
    if (pread(counter.fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        std::memcmp(head, data_file_header, sizeof head) != 0)
        return "data file does not start with the header";
    if (counter.last_byte != '\n') return "data file does not end with a whole row";
    std::uint64_t rows = counter.lines - 1;
    if (rows != total_points) {
        return "data file holds " + std::to_string(rows) + " rows, the recorder reported " +
               std::to_string(total_points);
    }
    return {};
}

// Runs the recorder in a fresh directory until its data file holds at least
// `samples` rows, then stops it and collects what it used.
recording_result record_samples(const char* recorder_path, std::uint64_t samples) {
    recording_result result{};
    std::string dir = make_temp_dir();
    if (dir.empty()) {
        result.error = "cannot make a temporary directory";
        return result;
    }
    std::string recordings = dir + "/recordings";
    if (mkdir(recordings.c_str(), 0755) != 0) {
        result.error = "cannot make " + recordings;
        remove_tree(dir);
        return result;
    }

    program_options options;
    options.path = recorder_path;
    options.cwd = dir;
    options.env = unpaced_environment();

    auto started = std::chrono::steady_clock::now();
    child_process child = start_program(options);
    if (child.pid < 0) {
        result.error = "cannot start " + options.path;
        remove_tree(dir);
        return result;
    }
    // Traced only to stop it on its way out, while its memory still exists.
    if (ptrace(PTRACE_SEIZE, child.pid, nullptr, PTRACE_O_TRACEEXIT) != 0) {
        result.error = std::string("ptrace: ") + std::strerror(errno);
        kill(child.pid, SIGKILL);
    }

    std::string out;
    std::string err;
    std::string data_path;
    line_counter counter{-1, 0, '\0'};
    bool stop_sent = false;
    bool killed = false;
    int status = 0;
    rusage usage{};
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (child.out_fd >= 0) fds[count++] = {child.out_fd, POLLIN, 0};
        if (child.err_fd >= 0) fds[count++] = {child.err_fd, POLLIN, 0};
        if (count > 0) {
            if (poll(fds, count, poll_interval_ms) > 0) {
                for (nfds_t i = 0; i < count; ++i) {
                    if (fds[i].revents == 0) continue;
                    if (fds[i].fd == child.out_fd)
                        drain(&child.out_fd, &out);
                    else
                        drain(&child.err_fd, &err);
                }
            }
        } else {
            usleep(poll_interval_ms * 1000);
        }

        if (counter.fd < 0) {
            std::vector<std::string> names = list_dir(recordings);
            if (!names.empty()) {
                data_path = recordings + "/" + names.front();
                counter.fd = open(data_path.c_str(), O_RDONLY | O_CLOEXEC);
            }
        }
        if (counter.fd >= 0) count_new_lines(&counter);
        // The header is a line, too.
        if (!stop_sent && counter.lines > samples) {
            kill(child.pid, SIGTERM);
            stop_sent = true;
        }
        std::chrono::duration<double> running = std::chrono::steady_clock::now() - started;
        if (!killed && running.count() > run_deadline_s) {
            result.error =
                "the recorder did not record " + std::to_string(samples) + " samples in time";
            kill(child.pid, SIGKILL);
            killed = true;
        }

        pid_t done = wait4(child.pid, &status, WNOHANG, &usage);
        if (done < 0 && errno != EINTR) {
            result.error = std::string("wait4: ") + std::strerror(errno);
            kill(child.pid, SIGKILL);
            if (child.out_fd >= 0) close(child.out_fd);
            if (child.err_fd >= 0) close(child.err_fd);
            child.out_fd = child.err_fd = -1;
            break;
        }
        if (done != child.pid) continue;
        if (WIFSTOPPED(status)) {
            int signal_to_deliver = 0;
            if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
                result.peak_rss_kib = read_vm_hwm_kib(child.pid);
            } else {
                signal_to_deliver = WSTOPSIG(status);
            }
            ptrace(PTRACE_CONT, child.pid, nullptr, signal_to_deliver);
            continue;
        }
        break;
    }
    std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    result.wall_s = wall.count();
    while (child.out_fd >= 0) drain(&child.out_fd, &out);
    while (child.err_fd >= 0) drain(&child.err_fd, &err);

    result.user_s = seconds_of(usage.ru_utime);
    result.sys_s = seconds_of(usage.ru_stime);
    result.ru_maxrss_kib = usage.ru_maxrss;
    std::vector<std::string> totals = lines_starting_with(out, "Total points: ");
    if (!totals.empty())
        result.total_points = std::strtoull(totals.front().c_str() + 14, nullptr, 10);

    if (result.error.empty()) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::string how = WIFEXITED(status)
                                  ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                  : "was killed by signal " + std::to_string(WTERMSIG(status));
            result.error = "the recorder " + how + ": " + out + err;
        } else if (totals.empty()) {
            result.error = "the recorder reported no total";
        } else if (counter.fd < 0) {
            result.error = "the recorder left no data file";
        } else if (result.total_points < samples) {
            result.error = "the recorder stopped before " + std::to_string(samples) + " samples";
        } else if (result.peak_rss_kib <= 0) {
            result.error = "no peak memory figure for the recorder";
        }
    }
    if (counter.fd >= 0) {
        count_new_lines(&counter);
        if (result.error.empty()) result.error = check_data_file(counter, result.total_points);
        close(counter.fd);
    }
    remove_tree(dir);
    return result;
}

void recorder_unpaced(benchmark::State& state, const char* recorder_path) {
    const std::uint64_t samples = static_cast<std::uint64_t>(state.range(0));
    recording_result run{};
    for (auto _ : state) {
        run = record_samples(recorder_path, samples);
        if (!run.error.empty()) {
            any_case_failed = true;
            state.SkipWithError(run.error.c_str());
            break;
        }
        state.SetIterationTime(run.wall_s);
    }
    if (!run.error.empty()) return;

    double points = static_cast<double>(run.total_points);
    double cpu_ns_per_sample = (run.user_s + run.sys_s) * 1e9 / points;
    state.counters["cpu_ns_per_sample"] = cpu_ns_per_sample;
    state.counters["sys_ns_per_sample"] = run.sys_s * 1e9 / points;
    // One core doing nothing else could record this many samples a second.
    state.counters["max_rate_hz"] = 1e9 / cpu_ns_per_sample;
    state.counters["peak_rss_kib"] = static_cast<double>(run.peak_rss_kib);
    state.counters["ru_maxrss_kib"] = static_cast<double>(run.ru_maxrss_kib);
    state.counters["rows"] = points;
}

void register_cases(const char* name, const char* recorder_path,
                    std::initializer_list<std::int64_t> sample_counts) {
    benchmark::internal::Benchmark* bench =
        benchmark::RegisterBenchmark(name, recorder_unpaced, recorder_path);
    for (std::int64_t samples : sample_counts) bench->Arg(samples);
    bench->ArgName("samples")
        ->Iterations(1)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    // 2 M samples for the CPU comparison; 0.3 M against 10 M for memory that
    // must not grow with the length of the recording.
    register_cases("recorder_fixed6_rows", FAST_RECORDER_PATH, {300000, 2000000, 10000000});
    register_cases("recorder_fprintf_rows", FPRINTF_RECORDER_PATH, {2000000});

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (any_case_failed) {
        std::fprintf(stderr, "recorder_bench: a recording was not sound, see the errors above\n");
        return 1;
    }
    return 0;
}
