#include "svg_draw.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// 1, 2 or 5 times a power of ten, giving about `ticks` intervals.
double nice_step(double range, int ticks) {
    double raw = range / ticks;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    double fraction = raw / power;
    double nice = fraction <= 1.0 ? 1.0 : fraction <= 2.0 ? 2.0 : fraction <= 5.0 ? 5.0 : 10.0;
    return nice * power;
}

}  // namespace

axis linear_axis(double low, double high, int ticks) {
    if (!(high > low)) {
        double pad = std::max(1e-3, std::fabs(low) * 0.1);
        low -= pad;
        high += pad;
    }
    double step = nice_step(high - low, ticks);
    return axis{std::floor(low / step) * step, std::ceil(high / step) * step, step, false};
}

namespace {

int decimals_for(double step) {
    int d = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return std::clamp(d, 0, 9);
}

}  // namespace

void draw_tick(std::FILE* f, bool horizontal, double at, int top, int bottom, const char* grid,
               bool mark, const char* label) {
    if (horizontal) {
        std::fprintf(f, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\"/>\n", at,
                     top, at, bottom, grid);
        if (mark)
            std::fprintf(f,
                         "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#333333\"/>\n",
                         at, bottom, at, bottom + 5);
        if (label)
            std::fprintf(f, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", at,
                         bottom + 19, label);
        return;
    }
    std::fprintf(f, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"%s\"/>\n",
                 plot_left, at, plot_right, at, grid);
    if (mark)
        std::fprintf(f, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#333333\"/>\n",
                     plot_left - 5, at, plot_left, at);
    if (label)
        std::fprintf(f, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", plot_left - 8,
                     at + 4, label);
}

double map(const axis& a, double v, double from, double to) {
    double t = a.log
                   ? (std::log10(v) - std::log10(a.low)) / (std::log10(a.high) - std::log10(a.low))
                   : (v - a.low) / (a.high - a.low);
    return from + t * (to - from);
}

void draw_page_start(std::FILE* f, int height, const char* title) {
    std::fprintf(f,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                 "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"%d\" height=\"%d\" "
                 "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<title>%s</title>\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"#f8f8f8\"/>\n"
                 "<text x=\"%d\" y=\"30\" font-size=\"17\" font-weight=\"bold\">%s</text>\n",
                 svg_width, height, svg_width, height, title, plot_left, title);
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
        const double v = static_cast<double>(i) * a.step;
        char label[400];  // any double with up to nine decimals
        std::snprintf(label, sizeof label, "%.*f", decimals, v);
        const double at = horizontal ? map(a, v, plot_left, plot_right) : map(a, v, bottom, top);
        draw_tick(f, horizontal, at, top, bottom, "#dddddd", true, label);
    }
}

const char* time_axis_label(const inspect_result& r) {
    if (!r.clock.known) return "time (s)";
    return r.clock.synchronized ? "time (UTC)" : "time (UTC, unsynchronised clock)";
}

void draw_time_ticks(std::FILE* f, const inspect_result& r, const axis& time, int top, int bottom) {
    if (!r.clock.known) {
        draw_linear_ticks(f, time, true, top, bottom);
        return;
    }
    // The same spacing, at round instants of the clock.
    const double start = r.clock.start_unix_s;
    const int decimals = decimals_for(time.step);
    const long long first = std::llround(std::ceil((start + time.low) / time.step - 1e-9));
    const long long last = std::llround(std::floor((start + time.high) / time.step + 1e-9));
    for (long long i = first; i <= last; ++i) {
        const double instant = static_cast<double>(i) * time.step;
        const double x = map(time, instant - start, plot_left, plot_right);
        const double day_s = std::fmod(instant, 86400.0);
        const long whole = static_cast<long>(std::floor(day_s + 1e-9));
        char label[32];
        std::snprintf(label, sizeof label, "%02ld:%02ld:%02ld", whole / 3600, whole / 60 % 60,
                      whole % 60);
        if (decimals > 0) {
            char fraction[16];
            std::snprintf(fraction, sizeof fraction, "%.*f", decimals, day_s - whole);
            std::strncat(label, fraction + 1, sizeof label - std::strlen(label) - 1);
        }
        draw_tick(f, true, x, top, bottom, "#dddddd", true, label);
    }
}

void draw_log_ticks(std::FILE* f, const axis& a, bool horizontal, int top, int bottom) {
    const int first = static_cast<int>(std::floor(std::log10(a.low) + 1e-9));
    const int last = static_cast<int>(std::ceil(std::log10(a.high) - 1e-9));
    for (int decade = first; decade <= last; ++decade) {
        for (int m = 1; m <= 9; ++m) {
            double v = m * std::pow(10.0, decade);
            if (v < a.low * (1 - 1e-9) || v > a.high * (1 + 1e-9)) continue;
            const bool major = m == 1;  // labelled
            char label[32];
            std::snprintf(label, sizeof label, "%g", v);
            const double at =
                horizontal ? map(a, v, plot_left, plot_right) : map(a, v, bottom, top);
            draw_tick(f, horizontal, at, top, bottom, major ? "#cccccc" : "#eeeeee", false,
                      major ? label : nullptr);
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

void draw_title(std::FILE* f, int top, const char* text) {
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s</text>\n", plot_left, top - 10,
                 text);
}

void draw_note(std::FILE* f, int top, int bottom, const char* text) {
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
                 (plot_left + plot_right) / 2, (top + bottom) / 2, text);
}

bool time_axis_of(const inspect_result& r, axis* out) {
    const inspect_stats& stats = r.stats;
    const envelope& env = r.env;
    if (env.buckets.count == 0 || !stats.have_time) return false;
    double t0 = stats.first_time_s;
    double t1 = stats.last_time_s + stats.step_s;
    for (std::size_t i = 0; i < env.buckets.count; ++i) {
        const envelope_bucket& b = env.buckets.slots[i];
        t0 = std::min(t0, b.first_s);
        t1 = std::max(t1, b.last_s + stats.step_s);
    }
    *out = linear_axis(t0, t1, 8);
    out->low = t0;  // the recording edge to edge; ticks fall inside
    out->high = t1;
    return true;
}

int column_of(double t, const axis& time) {
    double x = (t - time.low) / (time.high - time.low) * plot_columns;
    int c = static_cast<int>(std::floor(x));
    return std::clamp(c, 0, last_column);
}

void break_at_gaps(pixel_column* columns, const inspect_stats& stats, const axis& time) {
    for (std::size_t i = 0; i < stats.kept_count; ++i) {
        const discontinuity& d = stats.kept[i];
        if (d.excess_s <= 0) continue;
        const int c0 = column_of(d.at_s, time);
        const int c1 = column_of(d.at_s + stats.step_s + d.excess_s, time);
        for (int c = c0 + 1; c < c1; ++c) columns[c].filled = false;
        const int after = c1 > c0 ? c1 : c0 + 1;
        if (after < plot_columns) columns[after].break_before = true;
    }
}

void draw_discontinuities(std::FILE* f, const inspect_stats& stats, const axis& time, int top,
                          int bottom) {
    for (std::size_t i = 0; i < stats.kept_count; ++i) {
        const discontinuity& d = stats.kept[i];
        double x0 = map(time, d.at_s, plot_left, plot_right);
        if (d.excess_s > 0) {
            double x1 = map(time, d.at_s + stats.step_s + d.excess_s, plot_left, plot_right);
            double width = std::max(x1 - x0, 2.0);
            std::fprintf(f,
                         "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\" "
                         "fill-opacity=\"0.25\"/>\n"
                         "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"6\" fill=\"%s\"/>\n",
                         x0, top, width, bottom - top, gap_colour, x0, bottom - 6, width,
                         gap_colour);
        } else {
            std::fprintf(f, "<path d=\"M%.1f %d l-5 8 h10 Z\" fill=\"%s\"/>\n", x0, bottom,
                         overlap_colour);
        }
    }
}
