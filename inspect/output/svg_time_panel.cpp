// The acceleration over time: min and max of the envelope per pixel column.
#include "svg_draw.h"

#include <algorithm>
#include <cmath>

namespace {

void put_in_column(pixel_column* column, const envelope_bucket& b) {
    column->low = column->filled ? std::min(column->low, b.min) : b.min;
    column->high = column->filled ? std::max(column->high, b.max) : b.max;
    column->filled = true;
}

// One closed band from the maxima forward and the minima back.
void emit_band(std::FILE* f, const pixel_column* columns, const axis& g_axis, int from, int to,
               int top, int bottom) {
    std::fprintf(
        f, "<path fill=\"%s\" stroke=\"%s\" stroke-width=\"1\" stroke-linejoin=\"round\" d=\"",
        trace_colour, trace_colour);
    char command = 'M';
    for (int c = from; c <= to; ++c) {
        if (!columns[c].filled) continue;
        std::fprintf(f, "%c%.1f %.1f", command, plot_left + c + 0.5,
                     map(g_axis, columns[c].high, bottom, top));
        command = 'L';
    }
    for (int c = to; c >= from; --c) {
        if (!columns[c].filled) continue;
        std::fprintf(f, "L%.1f %.1f", plot_left + c + 0.5,
                     map(g_axis, columns[c].low, bottom, top));
    }
    std::fprintf(f, "Z\"/>\n");
}

}  // namespace

void draw_time_panel(std::FILE* f, const inspect_result& r, int top, int bottom) {
    const inspect_stats& stats = r.stats;
    const envelope& env = r.env;
    draw_frame(f, top, bottom);
    draw_title(f, top, "Acceleration (min/max per pixel column)");
    draw_axis_labels(f, top, bottom, time_axis_label(r), "acceleration (g)");
    axis time_axis;
    if (!time_axis_of(r, &time_axis)) {
        draw_note(f, top, bottom, "no rows");
        return;
    }
    double low = env.buckets.slots[0].min;
    double high = env.buckets.slots[0].max;
    for (std::size_t i = 0; i < env.buckets.count; ++i) {
        low = std::min(low, env.buckets.slots[i].min);
        high = std::max(high, env.buckets.slots[i].max);
    }
    const axis g_axis = linear_axis(low, high, 6);
    draw_time_ticks(f, r, time_axis, top, bottom);
    draw_linear_ticks(f, g_axis, false, top, bottom);

    // Buckets to pixel columns on the axis' own span. A bucket with a gap
    // inside holds rows from both of its ends, not from across the gap.
    pixel_column columns[plot_columns] = {};
    for (std::size_t i = 0; i < env.buckets.count; ++i) {
        const envelope_bucket& b = env.buckets.slots[i];
        const double regular = static_cast<double>(b.rows - 1) * stats.step_s + stats.threshold_s;
        const int c0 = column_of(b.first_s, time_axis);
        const int c1 = column_of(b.last_s, time_axis);
        if (b.last_s - b.first_s > regular) {
            put_in_column(&columns[c0], b);
            put_in_column(&columns[c1], b);
        } else {
            for (int c = c0; c <= c1; ++c) put_in_column(&columns[c], b);
        }
    }
    break_at_gaps(columns, stats, time_axis);

    int start = -1;
    int previous = -1;
    for (int c = 0; c < plot_columns; ++c) {
        if (columns[c].break_before && start >= 0) {
            emit_band(f, columns, g_axis, start, previous, top, bottom);
            start = -1;
        }
        if (!columns[c].filled) continue;
        if (start < 0) start = c;
        previous = c;
    }
    if (start >= 0) emit_band(f, columns, g_axis, start, previous, top, bottom);
    draw_discontinuities(f, stats, time_axis, top, bottom);
}
