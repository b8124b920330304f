// acc_inspect's throughput on a generated file of ten million rows (about
// 17 minutes of recording): the parse and statistics path alone, and the
// whole pass with every figure (spectrum and density, bands, levels, trend,
// spectrogram, envelope) and the picture, with the process's peak memory.
//
// INSPECT_BENCH_FILE=path keeps the generated file there (made if missing),
// for comparing other tools on the same rows.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include "csv_reader.h"
#include "data_file.h"
#include "inspect_run.h"
#include "inspect_stats.h"
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

}  // namespace
