#include "csv_output.h"

#include "output_file.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include <sys/stat.h>

namespace {

// Numbers apart by commas, the last followed by `after`; nothing where
// there is no number.
void fields(std::FILE* f, std::initializer_list<double> values, char after) {
    std::size_t left = values.size();
    for (const double v : values) {
        if (std::isfinite(v)) std::fprintf(f, "%.9g", v);
        std::fputc(--left > 0 ? ',' : after, f);
    }
}

void write_spectrum(std::FILE* f, const inspect_result& r) {
    std::fputs("frequency_hz,amplitude_g,psd_g2_per_hz,velocity_amplitude_mm_s\n", f);
    const amplitude_spectrum& s = r.spectrum;
    if (r.spectrum_error != 0) return;
    for (std::size_t k = 0; k < s.bins; ++k) {
        const double hz = static_cast<double>(k) * s.bin_hz;
        fields(f,
               {hz, s.amplitude[k], s.psd[k], k > 0 ? velocity_mm_s_of(s.amplitude[k], hz) : NAN},
               '\n');
    }
}

void write_octaves(std::FILE* f, const inspect_result& r) {
    std::fputs("centre_hz,low_hz,high_hz,bins,rms_g\n", f);
    if (r.spectrum_error != 0) return;
    for (std::size_t i = 0; i < r.bands.octave_count; ++i) {
        const octave_band& o = r.bands.octave[i];
        fields(f, {o.nominal_hz, o.low_hz, o.high_hz}, ',');
        std::fprintf(f, "%zu,", o.bins);
        fields(f, {o.bins > 0 ? o.rms_g : NAN}, '\n');
    }
}

void write_trend(std::FILE* f, const inspect_result& r) {
    const trend_state& t = r.trend;
    std::fputs("start_s,first_row_s,last_row_s,rows,rms_g,peak_g,dominant_hz\n", f);
    for (std::size_t i = 0; i < t.intervals.count; ++i) {
        const trend_interval& v = t.intervals.slots[i];
        fields(f, {trend_start_s(t, v), v.first_s, v.last_s}, ',');
        std::fprintf(f, "%" PRIu64 ",", v.rows);
        fields(f, {v.rms_g, v.peak_g, v.dominant_hz}, '\n');
    }
}

}  // namespace

int write_csv_files(const char* dir, const inspect_result& result, char* failed_path,
                    std::size_t failed_size) {
    std::snprintf(failed_path, failed_size, "%s", dir);
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) return errno;  // a file there fails below
    const char* names[3] = {spectrum_csv_name, octave_csv_name, trend_csv_name};
    for (int i = 0; i < 3; ++i) {
        std::snprintf(failed_path, failed_size, "%s/%s", dir, names[i]);
        output_file out{};
        int error = output_file_open(&out, failed_path);
        if (error != 0) return error;
        if (i == 0) write_spectrum(out.stream, result);
        if (i == 1) write_octaves(out.stream, result);
        if (i == 2) write_trend(out.stream, result);
        error = output_file_commit(&out);
        if (error != 0) return error;
    }
    failed_path[0] = '\0';
    return 0;
}
