#include "svg_plot.h"

#include "svg_draw.h"
#include "text_escape.h"

#include <cerrno>
#include <cinttypes>

namespace {

constexpr int svg_height = 1280;

}  // namespace

int write_svg(std::FILE* f, const char* title_text, const inspect_result& r) {
    errno = 0;
    char title[1024];
    escape_text(text_syntax::xml, title_text ? title_text : "", title, sizeof title);
    const inspect_stats& stats = r.stats;

    draw_page_start(f, svg_height, title);
    std::fprintf(
        f,
        "<text x=\"%d\" y=\"52\">%" PRIu64 " rows, %.3f s, %" PRIu64
        " gap%s (red, %.3f s missing), %" PRIu64 " overlap%s (orange)%s",
        plot_left, stats.rows, stats_duration(stats), stats.gaps, stats.gaps == 1 ? "" : "s",
        stats.missing_s, stats.overlaps, stats.overlaps == 1 ? "" : "s",
        stats.gaps + stats.overlaps > stats.kept_count ? "; only the first ones are marked" : "");
    if (tail_bytes(r.tail) > 0)
        std::fprintf(f,
                     "; <tspan fill=\"#c00000\">interrupted: %" PRIu64
                     " bytes after the last whole row left out</tspan>",
                     tail_bytes(r.tail));
    std::fprintf(f, "</text>\n");
    draw_time_panel(f, r, 90, 330);
    draw_spectrum_panel(f, r, 400, 620);
    draw_trend_panel(f, r, 690, 890);
    const int image_error = draw_spectrogram_panel(f, r, 960, 1180);
    std::fprintf(f, "</svg>\n");

    // The stream keeps failing with the first failure's errno (no space,
    // file too large); EIO when it left none.
    if (std::ferror(f)) return errno ? errno : EIO;
    return image_error;
}
