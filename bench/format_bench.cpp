// One data row, "%.6f,%.6f,%.6f,%.6f\n", four ways. One item is one row, so
// items_per_second reads as rows per second.
#include "fixed6_format.h"

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

struct sample_values {
    double volt;
    double accel_g;
    double accel_ms2;
};

constexpr double sample_period_s = 1e-4;
constexpr double sensitivity_v_per_g = 0.5;
constexpr double standard_gravity = 9.80665;
constexpr std::size_t sample_table_size = 4096;
constexpr std::size_t out_buffer_size = 1 << 16;
// Room for a row of realistic values; the fields here never come near
// fixed6_max_size.
constexpr std::size_t row_room = 128;

// Converter codes over the ±2.5 V range, with the derived units as the
// recorder computes them; time is counted up from zero while the benchmark runs.
std::vector<sample_values> make_samples() {
    std::vector<sample_values> samples(sample_table_size);
    std::mt19937_64 rng(20240601);
    for (sample_values& s : samples) {
        s.volt = static_cast<double>(rng() % 65536) * (5.0 / 65536) - 2.5;
        s.accel_g = s.volt / sensitivity_v_per_g;
        s.accel_ms2 = s.accel_g * standard_gravity;
    }
    return samples;
}

void row_fprintf_dev_null(benchmark::State& state) {
    const std::vector<sample_values> samples = make_samples();
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    std::uint64_t step = 0;
    for (auto _ : state) {
        const sample_values& s = samples[step % sample_table_size];
        std::fprintf(sink, "%.6f,%.6f,%.6f,%.6f\n", static_cast<double>(step) * sample_period_s,
                     s.volt, s.accel_g, s.accel_ms2);
        ++step;
    }
    std::fclose(sink);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void row_snprintf(benchmark::State& state) {
    const std::vector<sample_values> samples = make_samples();
    std::vector<char> buffer(out_buffer_size);
    std::size_t used = 0;
    std::uint64_t step = 0;
    for (auto _ : state) {
        if (buffer.size() - used < row_room) used = 0;
        const sample_values& s = samples[step % sample_table_size];
        const int n = std::snprintf(buffer.data() + used, row_room, "%.6f,%.6f,%.6f,%.6f\n",
                                    static_cast<double>(step) * sample_period_s, s.volt, s.accel_g,
                                    s.accel_ms2);
        used += static_cast<std::size_t>(n);
        benchmark::DoNotOptimize(buffer.data());
        ++step;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

char* put_to_chars(char* out, char* end, double v, char separator) {
    out = std::to_chars(out, end, v, std::chars_format::fixed, 6).ptr;
    *out++ = separator;
    return out;
}

void row_to_chars(benchmark::State& state) {
    const std::vector<sample_values> samples = make_samples();
    std::vector<char> buffer(out_buffer_size);
    char* const begin = buffer.data();
    char* const end = begin + buffer.size();
    char* out = begin;
    std::uint64_t step = 0;
    for (auto _ : state) {
        if (static_cast<std::size_t>(end - out) < row_room) out = begin;
        const sample_values& s = samples[step % sample_table_size];
        out = put_to_chars(out, end, static_cast<double>(step) * sample_period_s, ',');
        out = put_to_chars(out, end, s.volt, ',');
        out = put_to_chars(out, end, s.accel_g, ',');
        out = put_to_chars(out, end, s.accel_ms2, '\n');
        benchmark::DoNotOptimize(out);
        ++step;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void row_format_fixed6(benchmark::State& state) {
    const std::vector<sample_values> samples = make_samples();
    std::vector<char> buffer(out_buffer_size);
    char* const begin = buffer.data();
    char* const end = begin + buffer.size();
    char* out = begin;
    std::uint64_t step = 0;
    for (auto _ : state) {
        if (static_cast<std::size_t>(end - out) < row_room) out = begin;
        const sample_values& s = samples[step % sample_table_size];
        out = format_fixed6(out, static_cast<double>(step) * sample_period_s);
        *out++ = ',';
        out = format_fixed6(out, s.volt);
        *out++ = ',';
        out = format_fixed6(out, s.accel_g);
        *out++ = ',';
        out = format_fixed6(out, s.accel_ms2);
        *out++ = '\n';
        benchmark::DoNotOptimize(out);
        ++step;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(row_fprintf_dev_null);
BENCHMARK(row_snprintf);
BENCHMARK(row_to_chars);
BENCHMARK(row_format_fixed6);
