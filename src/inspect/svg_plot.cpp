#include "svg_plot.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr int svg_width = 1000;
constexpr int svg_height = 800;
constexpr int plot_left = 90;
constexpr int plot_right = 960;
constexpr int plot_columns = plot_right - plot_left;
constexpr int time_top = 90;
constexpr int time_bottom = 370;
constexpr int spectrum_top = 470;
constexpr int spectrum_bottom = 740;

constexpr char trace_colour[] = "#1f5fa8";
constexpr char gap_colour[] = "#d62728";
constexpr char overlap_colour[] = "#ff9900";

struct axis {
    double low;
    double high;
    double step;  // between labelled ticks; for log axes, decades
    bool log;
};

// 1, 2 or 5 times a power of ten, giving about `ticks` intervals.
double nice_step(double range, int ticks) {
    double raw = range / ticks;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    double fraction = raw / power;
    double nice = fraction <= 1.0 ? 1.0 : fraction <= 2.0 ? 2.0 : fraction <= 5.0 ? 5.0 : 10.0;
    return nice * power;
}

axis linear_axis(double low, double high, int ticks) {
    if (!(high > low)) {
        double pad = std::fabs(low) * 0.1 > 1e-3 ? std::fabs(low) * 0.1 : 1e-3;
        low -= pad;
        high += pad;
    }
    double step = nice_step(high - low, ticks);
    return axis{std::floor(low / step) * step, std::ceil(high / step) * step, step, false};
}

int decimals_for(double step) {
    int d = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return d < 0 ? 0 : d > 9 ? 9 : d;
}

double map(const axis& a, double v, double from, double to) {
    double t = a.log
                   ? (std::log10(v) - std::log10(a.low)) / (std::log10(a.high) - std::log10(a.low))
                   : (v - a.low) / (a.high - a.low);
    return from + t * (to - from);
}

void draw_frame(std::FILE* f, int top, int bottom) {
    std::fprintf(f,
                 "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#ffffff\" "
                 "stroke=\"#333333\" stroke-width=\"1\"/>\n",
                 plot_left, top, plot_right - plot_left, bottom - top);
}

// Ticks, labels and grid of a linear axis; `horizontal` for the x axis.
void draw_linear_ticks(std::FILE* f, const axis& a, bool horizontal, int top, int bottom) {
    const int decimals = decimals_for(a.step);
    const long first = static_cast<long>(std::ceil(a.low / a.step - 1e-9));
    const long last = static_cast<long>(std::floor(a.high / a.step + 1e-9));
    for (long i = first; i <= last; ++i) {
        double v = static_cast<double>(i) * a.step;
        if (horizontal) {
            double x = map(a, v, plot_left, plot_right);
            std::fprintf(f,
                         "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#dddddd\"/>\n"
                         "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#333333\"/>\n"
                         "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%.*f</text>\n",
                         x, top, x, bottom, x, bottom, x, bottom + 5, x, bottom + 19, decimals, v);
        } else {
            double y = map(a, v, bottom, top);
            std::fprintf(f,
                         "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#dddddd\"/>\n"
                         "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#333333\"/>\n"
                         "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n",
                         plot_left, y, plot_right, y, plot_left - 5, y, plot_left, y, plot_left - 8,
                         y + 4, decimals, v);
        }
    }
}

void draw_log_ticks(std::FILE* f, const axis& a, bool horizontal, int top, int bottom) {
    const int first = static_cast<int>(std::floor(std::log10(a.low) + 1e-9));
    const int last = static_cast<int>(std::ceil(std::log10(a.high) - 1e-9));
    for (int decade = first; decade <= last; ++decade) {
        for (int m = 1; m <= 9; ++m) {
            double v = m * std::pow(10.0, decade);
            if (v < a.low * (1 - 1e-9) || v > a.high * (1 + 1e-9)) continue;
            const bool major = m == 1;
            const char* grid = major ? "#cccccc" : "#eeeeee";
            if (horizontal) {
                double x = map(a, v, plot_left, plot_right);
                std::fprintf(f,
                             "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\"/>\n",
                             x, top, x, bottom, grid);
                if (major)
                    std::fprintf(f, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%g</text>\n",
                                 x, bottom + 19, v);
            } else {
                double y = map(a, v, bottom, top);
                std::fprintf(f,
                             "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"%s\"/>\n",
                             plot_left, y, plot_right, y, grid);
                if (major)
                    std::fprintf(f, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
                                 plot_left - 8, y + 4, v);
            }
        }
    }
}

void draw_axis_labels(std::FILE* f, int top, int bottom, const char* x_label, const char* y_label) {
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
                 (plot_left + plot_right) / 2, bottom + 38, x_label);
    std::fprintf(f,
                 "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" transform=\"rotate(-90 %d "
                 "%d)\">%s</text>\n",
                 24, (top + bottom) / 2, 24, (top + bottom) / 2, y_label);
}

struct pixel_column {
    bool filled;
    bool break_before;
    double min;
    double max;
};

void put_in_column(pixel_column* column, const envelope_bucket& b) {
    if (!column->filled) {
        column->filled = true;
        column->min = b.min;
        column->max = b.max;
        return;
    }
    if (b.min < column->min) column->min = b.min;
    if (b.max > column->max) column->max = b.max;
}

int column_of(double t, double t0, double span) {
    double x = (t - t0) / span * plot_columns;
    int c = static_cast<int>(std::floor(x));
    return c < 0 ? 0 : c >= plot_columns ? plot_columns - 1 : c;
}

void draw_time_panel(std::FILE* f, const plot_input& input) {
    const inspect_stats& stats = *input.stats;
    const envelope& env = *input.env;
    draw_frame(f, time_top, time_bottom);
    std::fprintf(f,
                 "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">Acceleration (min/max per pixel "
                 "column)</text>\n",
                 plot_left, time_top - 10);
    draw_axis_labels(f, time_top, time_bottom, "time (s)", "acceleration (g)");
    if (env.count == 0 || !stats.have_time) {
        std::fprintf(f, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">no rows</text>\n",
                     (plot_left + plot_right) / 2, (time_top + time_bottom) / 2);
        return;
    }

    double t0 = stats.first_time_s;
    double t1 = stats.last_time_s + stats.step_s;
    double low = env.buckets[0].min;
    double high = env.buckets[0].max;
    for (std::size_t i = 0; i < env.count; ++i) {
        const envelope_bucket& b = env.buckets[i];
        if (b.first_s < t0) t0 = b.first_s;
        if (b.last_s + stats.step_s > t1) t1 = b.last_s + stats.step_s;
        if (b.min < low) low = b.min;
        if (b.max > high) high = b.max;
    }
    axis time_axis = linear_axis(t0, t1, 8);
    time_axis.low = t0;  // the recording edge to edge; ticks fall inside
    time_axis.high = t1;
    const axis g_axis = linear_axis(low, high, 6);
    draw_linear_ticks(f, time_axis, true, time_top, time_bottom);
    draw_linear_ticks(f, g_axis, false, time_top, time_bottom);

    // Buckets to pixel columns on the axis' own span. A bucket with a gap
    // inside holds rows from both of its ends, not from across the gap.
    pixel_column columns[plot_columns] = {};
    const double a0 = time_axis.low;
    const double span = time_axis.high - time_axis.low;
    for (std::size_t i = 0; i < env.count; ++i) {
        const envelope_bucket& b = env.buckets[i];
        const double regular = static_cast<double>(b.rows - 1) * stats.step_s + stats.threshold_s;
        const int c0 = column_of(b.first_s, a0, span);
        const int c1 = column_of(b.last_s, a0, span);
        if (b.last_s - b.first_s > regular) {
            put_in_column(&columns[c0], b);
            put_in_column(&columns[c1], b);
        } else {
            for (int c = c0; c <= c1; ++c) put_in_column(&columns[c], b);
        }
    }
    // The trace stops at every gap that spans a whole column.
    for (std::size_t i = 0; i < stats.kept_count; ++i) {
        const discontinuity& d = stats.kept[i];
        if (d.excess_s <= 0) continue;
        const int c0 = column_of(d.at_s, a0, span);
        const int c1 = column_of(d.at_s + stats.step_s + d.excess_s, a0, span);
        if (c1 <= c0 + 1) continue;
        for (int c = c0 + 1; c < c1; ++c) columns[c].filled = false;
        columns[c1].break_before = true;
    }

    auto emit = [&](int from, int to) {
        std::fprintf(
            f, "<path fill=\"%s\" stroke=\"%s\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"",
            trace_colour, trace_colour);
        char command = 'M';
        for (int c = from; c <= to; ++c) {
            if (!columns[c].filled) continue;
            std::fprintf(f, "%c%.1f %.1f", command, plot_left + c + 0.5,
                         map(g_axis, columns[c].max, time_bottom, time_top));
            command = 'L';
        }
        for (int c = to; c >= from; --c) {
            if (!columns[c].filled) continue;
            std::fprintf(f, "L%.1f %.1f", plot_left + c + 0.5,
                         map(g_axis, columns[c].min, time_bottom, time_top));
        }
        std::fprintf(f, "Z\"/>\n");
    };
    int start = -1;
    int previous = -1;
    for (int c = 0; c < plot_columns; ++c) {
        if (columns[c].break_before && start >= 0) {
            emit(start, previous);
            start = -1;
        }
        if (!columns[c].filled) continue;
        if (start < 0) start = c;
        previous = c;
    }
    if (start >= 0) emit(start, previous);

    // Gaps as bands across the plot, overlaps as marks under the axis.
    for (std::size_t i = 0; i < stats.kept_count; ++i) {
        const discontinuity& d = stats.kept[i];
        double x0 = map(time_axis, d.at_s, plot_left, plot_right);
        if (d.excess_s > 0) {
            double x1 = map(time_axis, d.at_s + stats.step_s + d.excess_s, plot_left, plot_right);
            double width = x1 - x0 < 2.0 ? 2.0 : x1 - x0;
            std::fprintf(f,
                         "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\" "
                         "fill-opacity=\"0.25\"/>\n"
                         "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"6\" fill=\"%s\"/>\n",
                         x0, time_top, width, time_bottom - time_top, gap_colour, x0,
                         time_bottom - 6, width, gap_colour);
        } else {
            std::fprintf(f, "<path d=\"M%.1f %d l-5 8 h10 Z\" fill=\"%s\"/>\n", x0, time_bottom,
                         overlap_colour);
        }
    }
}

void draw_spectrum_panel(std::FILE* f, const plot_input& input) {
    const amplitude_spectrum* s = input.spectrum;
    draw_frame(f, spectrum_top, spectrum_bottom);
    draw_axis_labels(f, spectrum_top, spectrum_bottom, "frequency (Hz)", "amplitude (g)");
    if (!s || s->bins < 3) {
        std::fprintf(f, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">Amplitude spectrum</text>\n",
                     plot_left, spectrum_top - 10);
        std::fprintf(
            f,
            "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">too few rows for a spectrum</text>\n",
            (plot_left + plot_right) / 2, (spectrum_top + spectrum_bottom) / 2);
        return;
    }
    std::fprintf(
        f,
        "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">Amplitude spectrum (Hann, %zu points, "
        "50%% overlap, %" PRIu64 " segment%s averaged)</text>\n",
        plot_left, spectrum_top - 10, s->segment_size, s->segments, s->segments == 1 ? "" : "s");

    double peak = 0.0;
    double smallest = 0.0;
    for (std::size_t k = 1; k < s->bins; ++k) {
        double a = s->amplitude[k];
        if (a > peak) peak = a;
        if (a > 0.0 && (smallest == 0.0 || a < smallest)) smallest = a;
    }
    if (!(peak > 0.0)) {
        peak = 1.0;
        smallest = 0.1;
    }
    double top = std::pow(10.0, std::ceil(std::log10(peak * 1.5)));
    double bottom = std::pow(10.0, std::floor(std::log10(smallest)));
    if (bottom < top * 1e-7) bottom = top * 1e-7;
    const axis f_axis{s->bin_hz, static_cast<double>(s->bins - 1) * s->bin_hz, 1.0, true};
    const axis a_axis{bottom, top, 1.0, true};
    draw_log_ticks(f, f_axis, true, spectrum_top, spectrum_bottom);
    draw_log_ticks(f, a_axis, false, spectrum_top, spectrum_bottom);

    // The largest bin per pixel column keeps narrow peaks visible.
    std::fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1\" points=\"",
                 trace_colour);
    int column = -1;
    double column_max = 0.0;
    auto flush = [&]() {
        if (column < 0) return;
        double a = column_max < bottom ? bottom : column_max;
        std::fprintf(f, "%.1f,%.1f ", plot_left + column + 0.5,
                     map(a_axis, a, spectrum_bottom, spectrum_top));
    };
    for (std::size_t k = 1; k < s->bins; ++k) {
        double x = map(f_axis, static_cast<double>(k) * s->bin_hz, 0, plot_columns);
        int c = static_cast<int>(std::floor(x));
        if (c >= plot_columns) c = plot_columns - 1;
        if (c != column) {
            flush();
            column = c;
            column_max = s->amplitude[k];
        } else if (s->amplitude[k] > column_max) {
            column_max = s->amplitude[k];
        }
    }
    flush();
    std::fprintf(f, "\"/>\n");

    for (std::size_t i = 0; i < input.peak_count; ++i) {
        const spectral_peak& p = input.peaks[i];
        if (!(p.amplitude > 0.0) || p.frequency_hz < f_axis.low || p.frequency_hz > f_axis.high)
            continue;
        double a = p.amplitude < bottom ? bottom : p.amplitude > top ? top : p.amplitude;
        double x = map(f_axis, p.frequency_hz, plot_left, plot_right);
        double y = map(a_axis, a, spectrum_bottom, spectrum_top);
        std::fprintf(f,
                     "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"5\" fill=\"none\" stroke=\"%s\" "
                     "stroke-width=\"2\"/>\n"
                     "<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\" font-weight=\"bold\">%zu</text>\n",
                     x, y, gap_colour, x + 7, y - 6, gap_colour, i + 1);
        std::fprintf(f,
                     "<text x=\"%d\" y=\"%zu\" text-anchor=\"end\" fill=\"%s\">%zu: %.2f Hz, %.4g "
                     "g</text>\n",
                     plot_right - 8, spectrum_top + 18 + 16 * i, gap_colour, i + 1, p.frequency_hz,
                     p.amplitude);
    }
}

bool utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence of a character XML allows at `s`, or 0.
std::size_t xml_char_length(const unsigned char* s, std::size_t left) {
    unsigned char c = s[0];
    if (c < 0x80) return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') && c != 0x7f ? 1 : 0;
    std::size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || n > left) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if (!utf8_continuation(s[i])) return 0;
    if (c == 0xE0 && s[1] < 0xA0) return 0;                                     // overlong
    if (c == 0xED && s[1] > 0x9F) return 0;                                     // surrogate
    if (c == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF)) return 0;  // U+FFFE, U+FFFF
    if (c == 0xF0 && s[1] < 0x90) return 0;                                     // overlong
    if (c == 0xF4 && s[1] > 0x8F) return 0;                                     // beyond U+10FFFF
    return n;
}

}  // namespace

void envelope_init(envelope* env) {
    env->count = 0;
    env->rows_per_bucket = 1;
}

void envelope_add(envelope* env, double time_s, double value) {
    if (env->count > 0) {
        envelope_bucket& last = env->buckets[env->count - 1];
        if (last.rows < env->rows_per_bucket) {
            if (value < last.min) last.min = value;
            if (value > last.max) last.max = value;
            last.last_s = time_s;
            ++last.rows;
            return;
        }
    }
    if (env->count == envelope_capacity) {
        for (std::size_t i = 0; i < envelope_capacity / 2; ++i) {
            const envelope_bucket& a = env->buckets[2 * i];
            const envelope_bucket& b = env->buckets[2 * i + 1];
            env->buckets[i] = envelope_bucket{a.first_s, b.last_s, a.min < b.min ? a.min : b.min,
                                              a.max > b.max ? a.max : b.max, a.rows + b.rows};
        }
        env->count = envelope_capacity / 2;
        env->rows_per_bucket *= 2;
    }
    env->buckets[env->count++] = envelope_bucket{time_s, time_s, value, value, 1};
}

void xml_escape(const char* text, char* out, std::size_t out_size) {
    if (out_size == 0) return;
    std::size_t used = 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const char* piece;
        char single[5] = {0};
        std::size_t n = xml_char_length(s, left);
        std::size_t consumed = n ? n : 1;
        switch (n ? s[0] : 0) {
            case '&':
                piece = "&amp;";
                break;
            case '<':
                piece = "&lt;";
                break;
            case '>':
                piece = "&gt;";
                break;
            case '"':
                piece = "&quot;";
                break;
            case '\'':
                piece = "&apos;";
                break;
            case 0:
                piece = "?";
                break;
            default:
                std::memcpy(single, s, n);
                piece = single;
        }
        std::size_t length = std::strlen(piece);
        if (used + length >= out_size) break;
        std::memcpy(out + used, piece, length);
        used += length;
        s += consumed;
        left -= consumed;
    }
    out[used] = '\0';
}

int write_svg(std::FILE* f, const plot_input& input) {
    errno = 0;
    char title[1024];
    xml_escape(input.title ? input.title : "", title, sizeof title);
    const inspect_stats& stats = *input.stats;

    std::fprintf(f,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 "
                 "0 %d %d\" "
                 "font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<title>%s</title>\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"#f8f8f8\"/>\n"
                 "<text x=\"%d\" y=\"30\" font-size=\"17\" font-weight=\"bold\">%s</text>\n",
                 svg_width, svg_height, svg_width, svg_height, title, plot_left, title);
    std::fprintf(
        f,
        "<text x=\"%d\" y=\"52\">%" PRIu64 " rows, %.3f s, %" PRIu64
        " gap%s (red, %.3f s missing), %" PRIu64 " overlap%s (orange)%s</text>\n",
        plot_left, stats.rows, stats_duration(stats), stats.gaps, stats.gaps == 1 ? "" : "s",
        stats.missing_s, stats.overlaps, stats.overlaps == 1 ? "" : "s",
        stats.gaps + stats.overlaps > stats.kept_count ? "; only the first ones are marked" : "");
    draw_time_panel(f, input);
    draw_spectrum_panel(f, input);
    std::fprintf(f, "</svg>\n");

    // The stream keeps failing with the first failure's errno (no space,
    // file too large); EIO when it left none.
    if (std::ferror(f)) return errno != 0 ? errno : EIO;
    return 0;
}
