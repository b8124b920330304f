// The RMS and peak per trend interval over time.
#include "svg_draw.h"

#include <algorithm>
#include <cmath>

namespace {

// The largest RMS and peak of the intervals in a column.
void put_in_column(pixel_column* column, const trend_interval& t) {
    column->low = column->filled ? std::max(column->low, t.rms_g) : t.rms_g;
    column->high = column->filled ? std::max(column->high, t.peak_g) : t.peak_g;
    column->filled = true;
}

// Polylines through the runs of filled columns, `high` or `low` values.
void emit_lines(std::FILE* f, const pixel_column* columns, const axis& g_axis, bool high,
                const char* colour, int top, int bottom) {
    bool open = false;
    for (int c = 0; c < plot_columns; ++c) {
        if (open && (columns[c].break_before || !columns[c].filled)) {
            std::fprintf(f, "\"/>\n");
            open = false;
        }
        if (!columns[c].filled) continue;
        if (!open) {
            std::fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"",
                         colour);
            open = true;
        }
        const double v = high ? columns[c].high : columns[c].low;
        std::fprintf(f, "%.1f,%.1f ", plot_left + c + 0.5, map(g_axis, v, bottom, top));
    }
    if (open) std::fprintf(f, "\"/>\n");
}

}  // namespace

void draw_trend_panel(std::FILE* f, const inspect_result& r, int top, int bottom) {
    const trend_state& t = r.trend;
    char title[160];
    std::snprintf(title, sizeof title,
                  "RMS (blue) and peak (green) about the mean per %.3g s interval", t.interval_s);
    draw_frame(f, top, bottom);
    draw_title(f, top, title);
    draw_axis_labels(f, top, bottom, time_axis_label(r), "acceleration (g)");
    axis time_axis;
    if (t.intervals.count == 0 || !time_axis_of(r, &time_axis)) {
        draw_note(f, top, bottom, "no rows");
        return;
    }
    double high = 0.0;
    for (std::size_t i = 0; i < t.intervals.count; ++i)
        high = std::max(high, t.intervals.slots[i].peak_g);
    const axis g_axis = linear_axis(0.0, high, 5);
    draw_time_ticks(f, r, time_axis, top, bottom);
    draw_linear_ticks(f, g_axis, false, top, bottom);

    pixel_column columns[plot_columns] = {};
    for (std::size_t i = 0; i < t.intervals.count; ++i) {
        const trend_interval& v = t.intervals.slots[i];
        const int c1 = column_of(v.last_s, time_axis);
        for (int c = column_of(v.first_s, time_axis); c <= c1; ++c) put_in_column(&columns[c], v);
    }
    break_at_gaps(columns, r.stats, time_axis);
    emit_lines(f, columns, g_axis, true, peak_colour, top, bottom);
    emit_lines(f, columns, g_axis, false, trace_colour, top, bottom);
    draw_discontinuities(f, r.stats, time_axis, top, bottom);
}
