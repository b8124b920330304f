// acc_archive's compression of one finished recording, the whole way it
// runs on a board (stream to a temporary, force to storage, read back and
// verify, rename, remove the original): the ratio, the bytes per sample, the
// CPU it takes per hour of recording and how fast --restore gives the text
// back, for the compact form and zstd at three levels, on two signals of
// one minute each; and what the recording's summary, written just before,
// adds: its CPU per hour and its size per day of recording.
//   sim     the simulator's voltages, continuous doubles: the pessimistic case
//   device  a real device's shape: 16-bit codes over +-10 V, tones and 10 mV
//           of Gaussian noise
// The default level is the highest whose CPU per hour stays within about a
// minute on both.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "compress_file.h"
#include "data_file.h"
#include "recording_files.h"
#include "recording_summary.h"
#include "sim_signal.h"

namespace {

constexpr double rate_hz = 10000.0;
constexpr std::uint32_t block_rows = 1000;
constexpr double recording_s = 60.0;
constexpr double sensitivity = 0.5;
constexpr char stem[] = "ai0_accel_20250314_090000";

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

double unit_random(std::uint64_t n) {
    return static_cast<double>(splitmix64(n) >> 11) / 9007199254740992.0;
}

double device_volts(std::uint64_t n) {
    constexpr double two_pi = 6.283185307179586;
    const double t = static_cast<double>(n) / rate_hz;
    // Box-Muller from two independent uniforms.
    const double u1 = 1.0 - unit_random(2 * n);
    const double u2 = unit_random(2 * n + 1);
    const double noise = 0.010 * std::sqrt(-2.0 * std::log(u1)) * std::cos(two_pi * u2);
    const double v = 0.5 + 0.25 * std::sin(two_pi * 50.0 * t) +
                     0.05 * std::sin(two_pi * 120.0 * t + 1.0) +
                     0.02 * std::sin(two_pi * 1230.0 * t) + noise;
    const double code = std::fmin(65535.0, std::fmax(0.0, std::round((v + 10.0) / 20.0 * 65536.0)));
    return code * 20.0 / 65536.0 - 10.0;
}

// The rows as the recorder writes them: blocks of 1000, each starting at
// the time its read returned (a little after the block's last sample).
std::string make_recording(bool device) {
    std::string text(data_file_header, data_file_header_size);
    char row[max_row_size];
    const auto rows = static_cast<std::uint64_t>(recording_s * rate_hz);
    for (std::uint64_t n = 0; n < rows; ++n) {
        const std::uint64_t block = n / block_rows;
        const double block_start =
            static_cast<double>(block + 1) * 0.1 + 0.0002 + 0.0004 * unit_random(~block);
        const double t = block_start + static_cast<double>(n % block_rows) / rate_hz;
        const double v = device ? device_volts(n) : sim_sample_volts(n, rate_hz);
        text.append(row, format_row(row, t, v, sensitivity));
    }
    return text;
}

const std::string& recording_text(bool device) {
    static const std::string sim = make_recording(false);
    static const std::string dev = make_recording(true);
    return device ? dev : sim;
}

double process_cpu_s() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool write_whole(int dir_fd, const std::string& name, const std::string& text) {
    int fd = openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    const bool complete = done == text.size() && fsync(fd) == 0;
    return close(fd) == 0 && complete;
}

// A new directory below $TMPDIR (default /tmp), open; -1, the benchmark
// skipped, when it cannot be made.
int make_directory(benchmark::State& state, std::string* dir) {
    const char* tmp = std::getenv("TMPDIR");
    *dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/archive_bench_XXXXXX";
    const int fd =
        mkdtemp(&(*dir)[0]) ? open(dir->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0) state.SkipWithError("cannot make a directory");
    return fd;
}

// Level 0 is the compact form (its coder has no level to choose).
void archive_compress(benchmark::State& state) {
    const int level = static_cast<int>(state.range(0));
    const bool device = state.range(1) != 0;
    const archive_format format = level == 0 ? archive_format::compact : archive_format::zst;
    const std::string& text = recording_text(device);
    std::string dir;
    const int dir_fd = make_directory(state, &dir);
    if (dir_fd < 0) return;
    const std::string name = std::string(stem) + data_file_name_suffix;
    const std::string packed =
        name + (format == archive_format::compact ? compact_suffix : compressed_zst_suffix);
    const volatile std::sig_atomic_t never = 0;
    double cpu_s = 0.0;
    double ratio = 0.0;
    double restore_mb_s = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!write_whole(dir_fd, name, text)) {
            state.SkipWithError("cannot write the recording");
            break;
        }
        state.ResumeTiming();
        const double before = process_cpu_s();
        compress_result result{};
        const int error = compress_recording(dir_fd, stem, format, level, &never, &result);
        cpu_s += process_cpu_s() - before;
        if (error != 0) {
            state.SkipWithError(result.failed_step);
            break;
        }
        ratio = static_cast<double>(result.original_bytes) /
                static_cast<double>(result.compressed_bytes);
        state.PauseTiming();
        // Restoring: the whole recording written back, to /dev/null.
        const int in_fd = openat(dir_fd, packed.c_str(), O_RDONLY | O_CLOEXEC);
        const int out_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        timespec start{}, end{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        restore_result restored{};
        const int failed = restore_recording(in_fd, out_fd, &restored);
        clock_gettime(CLOCK_MONOTONIC, &end);
        close(out_fd);
        close(in_fd);
        const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                               static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
        if (failed != 0 || restored.bytes_written != text.size()) {
            state.SkipWithError("the restored recording is not the original");
            break;
        }
        restore_mb_s = static_cast<double>(text.size()) / seconds / 1e6;
        unlinkat(dir_fd, packed.c_str(), 0);
        state.ResumeTiming();
    }
    const double runs = static_cast<double>(state.iterations());
    const double samples = recording_s * rate_hz;
    state.counters["ratio"] = ratio;
    state.counters["bytes_per_sample"] =
        ratio > 0 ? static_cast<double>(text.size()) / ratio / samples : 0.0;
    state.counters["restore_MB_per_s"] = restore_mb_s;
    state.counters["cpu_s_per_hour"] = runs > 0 ? cpu_s / runs * 3600.0 / recording_s : 0.0;
    state.counters["MB_per_hour"] = static_cast<double>(text.size()) * 3600.0 / recording_s / 1e6;
    unlinkat(dir_fd, name.c_str(), 0);
    close(dir_fd);
    rmdir(dir.c_str());
}

// The compact form (0), zstd at levels 3 (the library's default), 9 (what
// --format zst uses) and 19 (the highest without extra memory); on the
// simulator's signal (0) and a device's (1).
void archive_levels(benchmark::internal::Benchmark* bench) {
    for (int device : {0, 1})
        for (int level : {0, 3, default_level, 19}) bench->Args({level, device});
}

BENCHMARK(archive_compress)
    ->ArgNames({"level", "device"})
    ->Apply(archive_levels)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The summary of the same minute: the inspector's pass over its rows and
// the gzip-compressed lines, forced to storage and renamed into place.
void archive_summary(benchmark::State& state) {
    const bool device = state.range(0) != 0;
    const std::string& text = recording_text(device);
    std::string dir;
    const int dir_fd = make_directory(state, &dir);
    if (dir_fd < 0) return;
    const std::string name = std::string(stem) + data_file_name_suffix;
    const std::string summary =
        std::string(summary_prefix) + (stem + std::strlen(data_file_name_prefix)) + summary_suffix;
    const volatile std::sig_atomic_t never = 0;
    double cpu_s = 0.0;
    double bytes = 0.0;
    // With its provenance: every line has its UTC instant.
    const std::string provenance = std::string(stem) + provenance_suffix;
    if (!write_whole(dir_fd, name, text) ||
        !write_whole(dir_fd, provenance,
                     "{\"run_id\": \"0123456789abcdef0123456789abcdef\", \"start_utc\": "
                     "\"2025-03-14T08:00:00.000000Z\"}\n"))
        state.SkipWithError("cannot write the recording");
    for (auto _ : state) {
        const double before = process_cpu_s();
        summary_result result{};
        const int error = write_summary(dir_fd, stem, name, &never, &result);
        cpu_s += process_cpu_s() - before;
        struct stat written {};
        if (error != 0 || fstatat(dir_fd, summary.c_str(), &written, 0) != 0) {
            state.SkipWithError(result.failed_step ? result.failed_step : "no summary");
            break;
        }
        bytes = static_cast<double>(written.st_size);
        unlinkat(dir_fd, summary.c_str(), 0);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["cpu_s_per_hour"] = runs > 0 ? cpu_s / runs * 3600.0 / recording_s : 0.0;
    state.counters["summary_bytes_per_minute"] = bytes;
    state.counters["summary_MB_per_day"] = bytes * 86400.0 / recording_s / 1e6;
    unlinkat(dir_fd, name.c_str(), 0);
    unlinkat(dir_fd, provenance.c_str(), 0);
    close(dir_fd);
    rmdir(dir.c_str());
}

BENCHMARK(archive_summary)
    ->ArgNames({"device"})
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
