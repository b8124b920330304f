// What the picture's panels share: the page layout, axes and their ticks,
// pixel columns on the time axis, and one function per panel.
#ifndef ACC_INSPECT_SVG_DRAW_H
#define ACC_INSPECT_SVG_DRAW_H

#include "inspect_run.h"

#include <cstdio>

constexpr int svg_width = 1000;
constexpr int plot_left = 90;
constexpr int plot_right = 960;
constexpr int plot_columns = plot_right - plot_left;
constexpr int last_column = plot_columns - 1;

constexpr char trace_colour[] = "#1f5fa8";
constexpr char gap_colour[] = "#d62728";
constexpr char overlap_colour[] = "#ff9900";
constexpr char peak_colour[] = "#2ca02c";

struct axis {
    double low;
    double high;
    double step;  // between labelled ticks; for log axes, decades
    bool log;
};

axis linear_axis(double low, double high, int ticks);
double map(const axis& a, double v, double from, double to);
// The document's start, its background and its `title` (XML already) on top.
void draw_page_start(std::FILE* f, int height, const char* title);
void draw_frame(std::FILE* f, int top, int bottom);
void draw_title(std::FILE* f, int top, const char* text);
void draw_note(std::FILE* f, int top, int bottom, const char* text);  // centred in the frame
// Ticks, labels and grid; `horizontal` for the x axis.
void draw_linear_ticks(std::FILE* f, const axis& a, bool horizontal, int top, int bottom);
void draw_log_ticks(std::FILE* f, const axis& a, bool horizontal, int top, int bottom);
// One tick at `at` (x on the horizontal axis, else y): its `grid` line
// across the frame, with `mark` a mark on the axis, and its label if any.
void draw_tick(std::FILE* f, bool horizontal, double at, int top, int bottom, const char* grid,
               bool mark, const char* label);
void draw_axis_labels(std::FILE* f, int top, int bottom, const char* x_label, const char* y_label);

// The x axis of a panel over time: row seconds, or with the run's
// provenance the UTC clock time of day at round instants.
const char* time_axis_label(const inspect_result& r);
void draw_time_ticks(std::FILE* f, const inspect_result& r, const axis& time, int top, int bottom);

// The time axis every panel over time shares: the recording edge to edge.
// False when there are no timed rows.
bool time_axis_of(const inspect_result& r, axis* out);

// One pixel column of a panel over time; `low` and `high` as the panel
// fills them.
struct pixel_column {
    bool filled;
    bool break_before;
    double low;
    double high;
};

int column_of(double t, const axis& time);
// Empties the columns inside every gap and breaks the trace at every gap,
// even one narrower than a column.
void break_at_gaps(pixel_column* columns, const inspect_stats& stats, const axis& time);
// Gaps as bands across the frame, overlaps as marks under it.
void draw_discontinuities(std::FILE* f, const inspect_stats& stats, const axis& time, int top,
                          int bottom);

void draw_time_panel(std::FILE* f, const inspect_result& r, int top, int bottom);
void draw_spectrum_panel(std::FILE* f, const inspect_result& r, int top, int bottom);
void draw_trend_panel(std::FILE* f, const inspect_result& r, int top, int bottom);
// 0, or EIO when its image cannot be encoded; no memory for it draws a note.
int draw_spectrogram_panel(std::FILE* f, const inspect_result& r, int top, int bottom);

#endif
