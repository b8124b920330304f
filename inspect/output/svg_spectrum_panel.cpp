// The amplitude spectrum, log-log, with its peaks, the noise floor and the
// threshold a peak must reach.
#include "svg_draw.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>

namespace {

// The bins the peak search skips: the window's main lobe around 0 Hz.
constexpr std::size_t first_drawn_bin = 2;

void level_line(std::FILE* f, const axis& a, double level, int top, int bottom, const char* label,
                const char* colour) {
    if (std::clamp(level, a.low, a.high) != level) return;  // off the axis, or not a number
    const double y = map(a, level, bottom, top);
    std::fprintf(f,
                 "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"%s\" "
                 "stroke-dasharray=\"6 4\"/>\n"
                 "<text x=\"%d\" y=\"%.1f\" fill=\"%s\">%s %.3g g</text>\n",
                 plot_left, y, plot_right, y, colour, plot_left + 6, y - 4, colour, label, level);
}

}  // namespace

void draw_spectrum_panel(std::FILE* f, const inspect_result& r, int top_y, int bottom_y) {
    const amplitude_spectrum& s = r.spectrum;
    draw_frame(f, top_y, bottom_y);
    draw_axis_labels(f, top_y, bottom_y, "frequency (Hz)", "amplitude (g)");
    if (r.spectrum_error != 0 || s.bins <= first_drawn_bin + 1) {
        draw_title(f, top_y, "Amplitude spectrum");
        draw_note(f, top_y, bottom_y, "too few rows for a spectrum");
        return;
    }
    char title[200];
    std::snprintf(title, sizeof title,
                  "Amplitude spectrum (Hann, %zu points, 50%% overlap, %" PRIu64
                  " segment%s averaged)",
                  s.segment_size, s.segments, s.segments == 1 ? "" : "s");
    draw_title(f, top_y, title);

    double peak = 0.0;
    double smallest = 0.0;
    for (std::size_t k = first_drawn_bin; k < s.bins; ++k) {
        double a = s.amplitude[k];
        peak = std::max(peak, a);
        if (a > 0.0 && (smallest == 0.0 || a < smallest)) smallest = a;
    }
    if (!(peak > 0.0)) {
        peak = 1.0;
        smallest = 0.1;
    }
    double top = std::pow(10.0, std::ceil(std::log10(peak * 1.5)));
    double bottom = std::pow(10.0, std::floor(std::log10(smallest)));
    bottom = std::max(bottom, top * 1e-7);
    const axis f_axis{static_cast<double>(first_drawn_bin) * s.bin_hz,
                      static_cast<double>(s.bins - 1) * s.bin_hz, 1.0, true};
    const axis a_axis{bottom, top, 1.0, true};
    draw_log_ticks(f, f_axis, true, top_y, bottom_y);
    draw_log_ticks(f, a_axis, false, top_y, bottom_y);

    // The largest bin per pixel column keeps narrow peaks visible.
    std::fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1\" points=\"",
                 trace_colour);
    int column = -1;
    double column_max = 0.0;
    auto flush = [&]() {
        if (column < 0) return;
        double a = column_max < bottom ? bottom : column_max;
        std::fprintf(f, "%.1f,%.1f ", plot_left + column + 0.5, map(a_axis, a, bottom_y, top_y));
    };
    for (std::size_t k = first_drawn_bin; k < s.bins; ++k) {
        double x = map(f_axis, static_cast<double>(k) * s.bin_hz, 0, plot_columns);
        int c = static_cast<int>(std::floor(x));
        if (c >= plot_columns) c = plot_columns - 1;
        if (c != column) {
            flush();
            column = c;
            column_max = s.amplitude[k];
        } else {
            column_max = std::max(column_max, s.amplitude[k]);
        }
    }
    flush();
    std::fprintf(f, "\"/>\n");
    level_line(f, a_axis, r.noise_floor, top_y, bottom_y, "noise floor (median bin)", "#777777");
    level_line(f, a_axis, r.peak_threshold, top_y, bottom_y, "peak threshold", overlap_colour);

    for (std::size_t i = 0; i < r.peak_count; ++i) {
        const spectral_peak& p = r.peaks[i];
        if (!(p.amplitude > 0.0) || p.frequency_hz < f_axis.low || p.frequency_hz > f_axis.high)
            continue;
        double a = std::clamp(p.amplitude, bottom, top);
        double x = map(f_axis, p.frequency_hz, plot_left, plot_right);
        double y = map(a_axis, a, bottom_y, top_y);
        std::fprintf(f,
                     "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"5\" fill=\"none\" stroke=\"%s\" "
                     "stroke-width=\"2\"/>\n"
                     "<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\" font-weight=\"bold\">%zu</text>\n",
                     x, y, gap_colour, x + 7, y - 6, gap_colour, i + 1);
        if (top_y + 18 + 16 * static_cast<int>(i) > bottom_y - 8) continue;  // no room left
        std::fprintf(f,
                     "<text x=\"%d\" y=\"%zu\" text-anchor=\"end\" fill=\"%s\">%zu: %.3f Hz, %.6f "
                     "g</text>\n",
                     plot_right - 8, top_y + 18 + 16 * i, gap_colour, i + 1, p.frequency_hz,
                     p.amplitude);
    }
}
