// acc_inspect's throughput on a generated file of ten million rows (about
// 17 minutes of recording): the parse and statistics path alone, and the
// whole pass with every figure (spectrum and density, bands, levels, trend,
// spectrogram, envelope) and the picture, with the process's peak memory;
// and the whole pass over the same rows as one file, as a run of ten files
// with provenance, and as those ten archived by the archiver (zstd at its
// default level, and the compact form), each pass in a child process of its
// own for its own peak memory.
//
// INSPECT_BENCH_FILE=path keeps the generated file there (made if missing),
// for comparing other tools on the same rows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "compress_file.h"
#include "csv_reader.h"
#include "data_file.h"
#include "inspect_stats.h"
#include "read_run.h"
#include "svg_plot.h"

namespace {

constexpr std::uint64_t bench_rows = 10000000;

std::string bench_path;

void remove_bench_file() {
    if (!bench_path.empty()) unlink(bench_path.c_str());
}

// Written once per process: blocks of 1000 rows like the recorder's, with
// the simulated signal and a little timing jitter between blocks.
const std::string& bench_file() {
    if (!bench_path.empty()) return bench_path;
    const char* keep = std::getenv("INSPECT_BENCH_FILE");
    if (keep && *keep && access(keep, R_OK) == 0) {
        bench_path = keep;
        return bench_path;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/inspect_bench_XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) return bench_path;
    std::FILE* f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        unlink(path.c_str());
        return bench_path;
    }
    bench_path = path;
    if (!keep || !*keep) std::atexit(remove_bench_file);
    std::fwrite(data_file_header, 1, data_file_header_size, f);
    char row[max_row_size];
    std::uint32_t noise = 1;
    for (std::uint64_t n = 0; n < bench_rows; ++n) {
        const std::uint64_t block = n / 1000;
        const double jitter = ((block * 7919) % 7) * 1e-3;
        const double t = 0.1 + block * 0.1 + jitter + (n % 1000) * 1e-4;
        noise = noise * 1664525u + 1013904223u;
        const double volt = 0.5 + 0.25 * std::sin(2 * 3.14159265358979 * 50.0 * n / 10000.0) +
                            0.002 * ((noise >> 8) / 8388608.0 - 1.0);
        std::fwrite(row, 1, format_row(row, t, volt, 0.5), f);
    }
    if (std::fclose(f) != 0) {
        unlink(bench_path.c_str());
        bench_path.clear();
    } else if (keep && *keep && std::rename(bench_path.c_str(), keep) == 0) {
        bench_path = keep;
    }
    return bench_path;
}

void BM_ParseAndStats(benchmark::State& state) {
    const std::string& path = bench_file();
    if (path.empty()) {
        state.SkipWithError("cannot write the generated file");
        return;
    }
    const inspect_config config = default_inspect_config();
    inspect_stats* stats = new inspect_stats;
    for (auto _ : state) {
        csv_reader reader;
        if (csv_reader_open(&reader, path.c_str(), csv_reader_default_buffer) != 0) {
            state.SkipWithError("cannot open the generated file");
            break;
        }
        stats_init(stats, config.rate_hz, config.sensitivity_v_per_g, config.threshold_s);
        csv_row row;
        while (csv_reader_next(&reader, &row) == read_status::row)
            stats_add(stats, row, reader.line);
        benchmark::DoNotOptimize(stats->rows);
        if (reader.failure.fault != read_fault::none)
            state.SkipWithError("the generated file is invalid");
        csv_reader_close(&reader);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bench_rows));
    delete stats;
}
BENCHMARK(BM_ParseAndStats)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_WholeInspection(benchmark::State& state) {
    const std::string& path = bench_file();
    if (path.empty()) {
        state.SkipWithError("cannot write the generated file");
        return;
    }
    const inspect_config config = default_inspect_config();
    inspect_result* result = new inspect_result;
    std::FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        if (!inspect_file(path.c_str(), config, result))
            state.SkipWithError("the generated file is invalid");
        else if (!sink || write_svg(sink, "bench", *result) != 0)
            state.SkipWithError("cannot draw the picture");
        benchmark::DoNotOptimize(result->peak_count);
        inspect_result_free(result);
    }
    if (sink) std::fclose(sink);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bench_rows));
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    delete result;
}
BENCHMARK(BM_WholeInspection)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// ---- The same rows as a run of files --------------------------------------

constexpr int run_files = 10;

std::vector<std::string> plain_parts;
std::vector<std::string> packed_parts;
std::vector<std::string> compact_parts;

void remove_parts() {
    for (const std::string& p : plain_parts) unlink(p.c_str());
    for (const std::vector<std::string>* archived : {&packed_parts, &compact_parts})
        for (const std::string& p : *archived) {
            unlink(p.c_str());
            unlink(p.substr(0, p.size() - 4).c_str());  // left uncompressed by a failure
            unlink((p.substr(0, p.size() - 8) + ".json").c_str());
        }
    for (const std::string& p : plain_parts) {
        const std::string sidecar = p.substr(0, p.size() - 4) + ".json";
        unlink(sidecar.c_str());
    }
}

bool write_sidecar(const std::string& path, int segment) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fprintf(f,
                 "{\"format\": \"acc_recorder data file 1\", \"run_id\": "
                 "\"00112233445566778899aabbccddeeff\", \"segment\": %d, \"start_utc\": "
                 "\"2026-12-08T00:00:00.000000Z\", \"clock\": {\"synchronized\": true}}\n",
                 segment);
    return std::fclose(f) == 0;
}

// `<stem>.csv` replaced by `<stem>.csv.zst` or `<stem>.csv.acz` as the
// archiver makes it.
bool compress_part(const std::string& stem, archive_format format) {
    const std::size_t slash = stem.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : stem.substr(0, slash);
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    static const volatile std::sig_atomic_t never = 0;
    compress_result result{};
    const int error =
        compress_recording(dir_fd, stem.substr(slash + 1), format, default_level, &never, &result);
    close(dir_fd);
    return error == 0;
}

// The bench file cut at block boundaries into ten files of a run, each with
// its header and provenance, and each of those archived in both forms.
bool make_parts() {
    if (!plain_parts.empty()) return true;
    const std::string& whole = bench_file();
    if (whole.empty()) return false;
    std::FILE* in = std::fopen(whole.c_str(), "rb");
    if (!in) return false;
    std::atexit(remove_parts);
    char line[max_row_size + 2];
    bool ok = std::fgets(line, sizeof line, in) != nullptr;  // the header
    for (int f = 0; ok && f < run_files; ++f) {
        char name[64];
        std::snprintf(name, sizeof name, "_part_%02d", f + 1);
        const std::string stem = whole + name;
        plain_parts.push_back(stem + ".csv");
        const std::string packed_stem = stem + "_z";
        const std::string compact_stem = stem + "_c";
        packed_parts.push_back(packed_stem + ".csv.zst");
        compact_parts.push_back(compact_stem + ".csv.acz");
        std::FILE* out = std::fopen(plain_parts.back().c_str(), "w");
        std::FILE* copy = std::fopen((packed_stem + ".csv").c_str(), "w");
        std::FILE* compact_copy = std::fopen((compact_stem + ".csv").c_str(), "w");
        ok = out && copy && compact_copy;
        for (std::FILE* file : {out, copy, compact_copy})
            ok = ok && std::fwrite(data_file_header, 1, data_file_header_size, file) ==
                           data_file_header_size;
        for (std::uint64_t n = 0; ok && n < bench_rows / run_files; ++n)
            ok = std::fgets(line, sizeof line, in) && std::fputs(line, out) >= 0 &&
                 std::fputs(line, copy) >= 0 && std::fputs(line, compact_copy) >= 0;
        for (std::FILE* file : {out, copy, compact_copy})
            if (file && std::fclose(file) != 0) ok = false;
        ok = ok && write_sidecar(stem + ".json", f + 1) &&
             write_sidecar(packed_stem + ".json", f + 1) &&
             write_sidecar(compact_stem + ".json", f + 1) &&
             compress_part(packed_stem, archive_format::zst) &&
             compress_part(compact_stem, archive_format::compact);
    }
    std::fclose(in);
    return ok;
}

// One whole pass over `paths` in a child, timed and with the child's peak
// memory from wait4.
void run_in_child(benchmark::State& state, const std::vector<std::string>& paths) {
    std::vector<const char*> list;
    for (const std::string& p : paths) list.push_back(p.c_str());
    double peak_mib = 0.0;
    for (auto _ : state) {
        const pid_t child = fork();
        if (child == 0) {
            inspect_result* result = new inspect_result;
            const bool valid =
                inspect_files(list.data(), list.size(), default_inspect_config(), result);
            inspect_result_free(result);
            _exit(valid && result->stats.rows == bench_rows ? 0 : 1);
        }
        int status = 0;
        struct rusage usage {};
        if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("the pass failed");
            break;
        }
        peak_mib = std::max(peak_mib, static_cast<double>(usage.ru_maxrss) / 1024.0);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bench_rows));
    state.counters["peak_rss_mib"] = peak_mib;
}

void BM_RunOneFile(benchmark::State& state) {
    if (!make_parts()) return state.SkipWithError("cannot write the generated files");
    run_in_child(state, {bench_file()});
}
BENCHMARK(BM_RunOneFile)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_RunTenFiles(benchmark::State& state) {
    if (!make_parts()) return state.SkipWithError("cannot write the generated files");
    run_in_child(state, plain_parts);
}
BENCHMARK(BM_RunTenFiles)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_RunTenFilesArchived(benchmark::State& state) {
    if (!make_parts()) return state.SkipWithError("cannot write the generated files");
    run_in_child(state, packed_parts);
}
BENCHMARK(BM_RunTenFilesArchived)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_RunTenFilesCompact(benchmark::State& state) {
    if (!make_parts()) return state.SkipWithError("cannot write the generated files");
    run_in_child(state, compact_parts);
}
BENCHMARK(BM_RunTenFilesCompact)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
