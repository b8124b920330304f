#include "svg_plot.h"

#include "svg_draw.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace {

constexpr int svg_height = 1280;

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

int write_svg(std::FILE* f, const char* title_text, const inspect_result& r) {
    errno = 0;
    char title[1024];
    xml_escape(title_text ? title_text : "", title, sizeof title);
    const inspect_stats& stats = r.stats;

    std::fprintf(f,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" "
                 "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"%d\" height=\"%d\" "
                 "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
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
