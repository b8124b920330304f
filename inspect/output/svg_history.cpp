#include "svg_history.h"

#include "svg_draw.h"
#include "text_escape.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

namespace {

constexpr int svg_height = 420;
constexpr int panel_top = 90;
constexpr int panel_bottom = 340;
constexpr char band_colour[] = "#a6c8ea";
constexpr char alarm_colour[] = "#d62728";
constexpr char no_summary_colour[] = "#bbbbbb";
constexpr double hour_s = 3600.0;
constexpr double day_s = 86400.0;
// Round spacings of UTC ticks, hours to weeks; days and weeks from 1970.
constexpr double tick_steps_s[] = {hour_s,      2 * hour_s, 3 * hour_s, 6 * hour_s,
                                   12 * hour_s, day_s,      2 * day_s,  7 * day_s,
                                   14 * day_s,  28 * day_s, 56 * day_s, 364 * day_s};
constexpr int most_ticks = 10;

bool has_figures(const history_interval& v) { return !std::isnan(v.median_velocity_mm_s); }

// An interval's columns, its part within the window.
void interval_span(const history_interval& v, const history_picture& p, const axis& time,
                   double* x0, double* x1) {
    *x0 = map(time, std::max(v.start_unix_s, p.from_s), plot_left, plot_right);
    *x1 = map(time, std::min(v.start_unix_s + v.length_s, p.to_s), plot_left, plot_right);
}

void draw_utc_ticks(std::FILE* f, const axis& time) {
    double step = tick_steps_s[0];
    for (double s : tick_steps_s) {
        step = s;
        if ((time.high - time.low) / s <= most_ticks) break;
    }
    const double first = std::ceil(time.low / step) * step;
    for (int k = 0; first + k * step <= time.high; ++k) {
        const double t = first + k * step;
        const auto when = static_cast<std::time_t>(t);
        std::tm utc{};
        char label[32] = "";
        if (gmtime_r(&when, &utc))
            std::strftime(label, sizeof label, step < day_s ? "%m-%d %H:%M" : "%Y-%m-%d", &utc);
        draw_tick(f, true, map(time, t, plot_left, plot_right), panel_top, panel_bottom, "#dddddd",
                  true, label);
    }
}

// Backgrounds across the frame: grey where no summary has a line, red
// where a second was above the alarm.
void draw_marks(std::FILE* f, const history_picture& p, const axis& time) {
    for (const history_interval& v : *p.intervals) {
        const char* colour = v.seconds == 0      ? no_summary_colour
                             : v.above_alarm > 0 ? alarm_colour
                                                 : nullptr;
        if (!colour) continue;
        double x0 = 0.0, x1 = 0.0;
        interval_span(v, p, time, &x0, &x1);
        std::fprintf(f,
                     "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\" "
                     "fill-opacity=\"0.2\"/>\n",
                     x0, panel_top, std::max(x1 - x0, 1.0), panel_bottom - panel_top, colour);
        if (v.above_alarm > 0)
            std::fprintf(f, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"6\" fill=\"%s\"/>\n",
                         x0, panel_top, std::max(x1 - x0, 1.0), alarm_colour);
    }
}

// The band and the median line over one run of intervals with figures,
// [first, end): a step per interval, never across an interval without.
void draw_run(std::FILE* f, const history_picture& p, std::size_t first, std::size_t end,
              const axis& time, const axis& velocity) {
    const std::vector<history_interval>& all = *p.intervals;
    const auto y = [&](double v) { return map(velocity, v, panel_bottom, panel_top); };
    std::fprintf(f, "<path fill=\"%s\" stroke=\"none\" d=\"", band_colour);
    for (std::size_t i = first; i < end; ++i) {
        double x0 = 0.0, x1 = 0.0;
        interval_span(all[i], p, time, &x0, &x1);
        std::fprintf(f, "%c%.1f %.1fL%.1f %.1f", i == first ? 'M' : 'L', x0,
                     y(all[i].largest_velocity_mm_s), x1, y(all[i].largest_velocity_mm_s));
    }
    for (std::size_t i = end; i-- > first;) {
        double x0 = 0.0, x1 = 0.0;
        interval_span(all[i], p, time, &x0, &x1);
        std::fprintf(f, "L%.1f %.1fL%.1f %.1f", x1, y(all[i].smallest_velocity_mm_s), x0,
                     y(all[i].smallest_velocity_mm_s));
    }
    std::fprintf(f, "Z\"/>\n<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"",
                 trace_colour);
    for (std::size_t i = first; i < end; ++i) {
        double x0 = 0.0, x1 = 0.0;
        interval_span(all[i], p, time, &x0, &x1);
        const double median = y(all[i].median_velocity_mm_s);
        std::fprintf(f, "%.1f,%.1f %.1f,%.1f ", x0, median, x1, median);
    }
    std::fprintf(f, "\"/>\n");
}

void draw_alarm_line(std::FILE* f, double alarm, const axis& velocity) {
    const double y = map(velocity, alarm, panel_bottom, panel_top);
    std::fprintf(f,
                 "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"%s\" "
                 "stroke-dasharray=\"6 4\"/>\n"
                 "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\" fill=\"%s\">alarm %g mm/s</text>\n",
                 plot_left, y, plot_right, y, alarm_colour, plot_right - 4, y - 4, alarm_colour,
                 alarm);
}

}  // namespace

int write_history_svg(std::FILE* f, const history_picture& p) {
    errno = 0;
    char title[1024];
    escape_text(text_syntax::xml, p.title, title, sizeof title);
    draw_page_start(f, svg_height, title);
    char subtitle[1024];
    escape_text(text_syntax::xml, p.subtitle, subtitle, sizeof subtitle);
    std::fprintf(f, "<text x=\"%d\" y=\"52\">%s</text>\n", plot_left, subtitle);
    const std::vector<history_interval>& all = *p.intervals;
    const double length = all.empty() ? hour_s : all.front().length_s;
    char panel_title[160];
    std::snprintf(panel_title, sizeof panel_title,
                  "Velocity RMS per %s: median (line), smallest to largest (band)%s, no summary "
                  "(grey)",
                  length == hour_s ? "hour" : "day",
                  std::isnan(p.alarm_mm_s) ? "" : ", above the alarm (red)");
    draw_frame(f, panel_top, panel_bottom);
    draw_title(f, panel_top, panel_title);
    draw_axis_labels(f, panel_top, panel_bottom, "time (UTC)", "velocity RMS (mm/s)");
    double high = std::isnan(p.alarm_mm_s) ? 0.0 : p.alarm_mm_s;
    for (const history_interval& v : all)
        if (has_figures(v)) high = std::max(high, v.largest_velocity_mm_s);
    if (!all.empty()) {
        axis time{std::max(all.front().start_unix_s, p.from_s),
                  std::min(all.back().start_unix_s + all.back().length_s, p.to_s), 0.0, false};
        const axis velocity = linear_axis(0.0, high, 5);
        draw_utc_ticks(f, time);
        draw_linear_ticks(f, velocity, false, panel_top, panel_bottom);
        draw_marks(f, p, time);
        for (std::size_t i = 0; i < all.size();) {
            std::size_t end = i;
            while (end < all.size() && has_figures(all[end])) ++end;
            if (end > i) draw_run(f, p, i, end, time, velocity);
            i = std::max(end, i + 1);
        }
        if (!std::isnan(p.alarm_mm_s)) draw_alarm_line(f, p.alarm_mm_s, velocity);
    }
    std::fprintf(f, "</svg>\n");
    // The stream keeps failing with the first failure's errno; EIO when it left none.
    return std::ferror(f) ? (errno ? errno : EIO) : 0;
}
