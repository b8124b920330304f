// The spectrogram: time across, frequency up on a log scale, the density in
// colour steps of 4 dB, drawn as a small embedded PNG of one pixel per plot
// column and spectrogram row. Columns without segments (gaps, the ends of
// the recording) stay grey.
#include "svg_draw.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

namespace {

constexpr int levels = 16;  // 0: no data, 1..15 lowest to highest
constexpr double level_db = 4.0;
constexpr std::uint32_t palette[levels] = {
    0xeeeeee, 0x440154, 0x482173, 0x433e85, 0x3b528b, 0x33638d, 0x2c728e, 0x26828e,
    0x21918c, 0x1fa088, 0x28ae80, 0x3fbc73, 0x5ec962, 0x84d44b, 0xbddf26, 0xfde725};

struct byte_buffer {
    unsigned char* data;
    std::size_t size;
};

void put32(byte_buffer* b, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) b->data[b->size++] = static_cast<unsigned char>(v >> (8 * i));
}

// Length and type, then the body already in place after them, then the CRC
// of type and body.
void close_chunk(byte_buffer* b, std::size_t start, const char* type, std::size_t size) {
    byte_buffer at{b->data + start, 0};
    put32(&at, static_cast<std::uint32_t>(size));
    std::memcpy(b->data + start + 4, type, 4);
    b->size = start + 8 + size;
    put32(b,
          static_cast<std::uint32_t>(crc32(0, b->data + start + 4, static_cast<uInt>(size + 4))));
}

void put_chunk(byte_buffer* b, const char* type, const unsigned char* body, std::size_t size) {
    const std::size_t start = b->size;
    if (size > 0) std::memcpy(b->data + start + 8, body, size);
    close_chunk(b, start, type, size);
}

// Signature, IHDR, PLTE, IEND and the IDAT's length, type and CRC.
constexpr std::size_t png_overhead = 8 + 12 + 13 + 12 + 3 * levels + 12 + 12;

std::size_t png_capacity(std::size_t raw_size) { return png_overhead + compressBound(raw_size); }

// A palette PNG of 4-bit pixels, `raw` being its rows each led by its filter
// byte, into `out` of png_capacity(raw_size) bytes. Returns zlib's status.
int encode_png(const unsigned char* raw, std::size_t raw_size, int width, int height,
               byte_buffer* out) {
    byte_buffer& b = *out;
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::memcpy(b.data, signature, 8);
    b.size = 8;
    unsigned char header[13] = {0};
    byte_buffer h{header, 0};
    put32(&h, static_cast<std::uint32_t>(width));
    put32(&h, static_cast<std::uint32_t>(height));
    header[8] = 4;  // bits per pixel
    header[9] = 3;  // palette
    put_chunk(&b, "IHDR", header, sizeof header);
    unsigned char colours[3 * levels];
    for (std::size_t i = 0; i < levels; ++i) {
        colours[3 * i] = static_cast<unsigned char>(palette[i] >> 16);
        colours[3 * i + 1] = static_cast<unsigned char>(palette[i] >> 8);
        colours[3 * i + 2] = static_cast<unsigned char>(palette[i]);
    }
    put_chunk(&b, "PLTE", colours, sizeof colours);
    const std::size_t idat = b.size;
    uLongf size = compressBound(raw_size);
    const int status = compress2(b.data + idat + 8, &size, raw, raw_size, Z_BEST_COMPRESSION);
    if (status != Z_OK) return status;
    close_chunk(&b, idat, "IDAT", size);
    put_chunk(&b, "IEND", nullptr, 0);
    return Z_OK;
}

void write_base64(std::FILE* f, const unsigned char* data, std::size_t size) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t v = (static_cast<std::uint32_t>(data[i]) << 16) |
                                (i + 1 < size ? static_cast<std::uint32_t>(data[i + 1]) << 8 : 0) |
                                (i + 2 < size ? data[i + 2] : 0);
        std::fputc(digits[(v >> 18) & 63], f);
        std::fputc(digits[(v >> 12) & 63], f);
        std::fputc(i + 1 < size ? digits[(v >> 6) & 63] : '=', f);
        std::fputc(i + 2 < size ? digits[v & 63] : '=', f);
    }
}

int level_of(double density, double top_db) {
    if (!(density > 0.0)) return 1;
    const double below = (top_db - 10.0 * std::log10(density)) / level_db;
    const int level = levels - 1 - static_cast<int>(std::floor(below));
    return std::clamp(level, 1, levels - 1);
}

void draw_legend(std::FILE* f, int y, double top_db) {
    const int width = 24;
    const int x0 = plot_right - (levels - 1) * width;
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">density, dB re 1 g^2/Hz</text>\n",
                 x0 - 10, y + 10);
    for (int i = 1; i < levels; ++i) {
        std::fprintf(f, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"12\" fill=\"#%06x\"/>\n",
                     x0 + (i - 1) * width, y, width, static_cast<unsigned>(palette[i]));
        if (i % 3 == 1)
            std::fprintf(f, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%.0f</text>\n",
                         x0 + (i - 1) * width, y + 26, top_db - (levels - i) * level_db);
    }
    std::fprintf(f, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%.0f</text>\n", plot_right,
                 y + 26, top_db);
}

}  // namespace

int draw_spectrogram_panel(std::FILE* f, const inspect_result& r, int top, int bottom) {
    const spectrogram& s = r.spectro;
    draw_frame(f, top, bottom);
    draw_axis_labels(f, top, bottom, time_axis_label(r), "frequency (Hz)");
    char title[160];
    std::snprintf(title, sizeof title, "Spectrogram (%zu-point segments, density in %.0f dB steps)",
                  r.spectrum.segment_size, level_db);
    draw_title(f, top, title);
    axis time_axis;
    if (s.columns.count == 0 || !time_axis_of(r, &time_axis)) {
        draw_note(f, top, bottom, "too few rows between discontinuities for a spectrogram");
        return 0;
    }

    double top_density = 0.0;
    for (std::size_t j = 0; j < s.columns.count; ++j)
        for (std::size_t row = 0; row < spectrogram_rows; ++row) {
            const double d = spectrogram_density(s, s.columns.slots[j], row);
            top_density = std::max(top_density, d);
        }
    const double top_db =
        top_density > 0.0 ? std::ceil(10.0 * std::log10(top_density) / level_db) * level_db : 0.0;

    // Which spectrogram column each pixel column shows, if any.
    pixel_column covered[plot_columns] = {};
    int shown[plot_columns];
    std::size_t j = 0;
    for (int c = 0; c < plot_columns; ++c) {
        const double t =
            time_axis.low + (c + 0.5) / plot_columns * (time_axis.high - time_axis.low);
        while (j < s.columns.count && s.columns.slots[j].last_s < t) ++j;
        shown[c] =
            j < s.columns.count && s.columns.slots[j].first_s <= t ? static_cast<int>(j) : -1;
        covered[c].filled = shown[c] >= 0;
    }
    break_at_gaps(covered, r.stats, time_axis);

    // Ticks first: the image covers their grid, their labels stay.
    const axis f_axis{s.low_hz, s.high_hz, 1.0, true};
    draw_time_ticks(f, r, time_axis, top, bottom);
    draw_log_ticks(f, f_axis, false, top, bottom);

    const int rows = static_cast<int>(spectrogram_rows);
    const std::size_t stride = (plot_columns + 1) / 2 + 1;
    const std::size_t raw_size = stride * spectrogram_rows;
    unsigned char* raw = static_cast<unsigned char*>(std::calloc(raw_size, 1));
    unsigned char* png = static_cast<unsigned char*>(std::malloc(png_capacity(raw_size)));
    for (int y = 0; raw && y < rows; ++y) {
        unsigned char* line = raw + static_cast<std::size_t>(y) * stride + 1;  // filter 0
        const std::size_t row = spectrogram_rows - 1 - static_cast<std::size_t>(y);
        for (int c = 0; c < plot_columns; ++c) {
            int level = 0;
            if (covered[c].filled)
                level = level_of(spectrogram_density(s, s.columns.slots[shown[c]], row), top_db);
            line[c / 2] |= static_cast<unsigned char>(c % 2 == 0 ? level << 4 : level);
        }
    }
    byte_buffer encoded{png, 0};
    const int status =
        raw && png ? encode_png(raw, raw_size, plot_columns, rows, &encoded) : Z_MEM_ERROR;
    std::free(raw);
    if (status != Z_OK) {
        std::free(png);
        if (status != Z_MEM_ERROR) return EIO;  // compressBound is always enough: never seen
        draw_note(f, top, bottom, "out of memory for the spectrogram");
        return 0;
    }
    std::fprintf(f,
                 "<image x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" preserveAspectRatio=\"none\" "
                 "style=\"image-rendering:pixelated\" xlink:href=\"data:image/png;base64,",
                 plot_left, top, plot_columns, bottom - top);
    write_base64(f, png, encoded.size);
    std::fprintf(f, "\"/>\n");
    std::free(png);

    draw_discontinuities(f, r.stats, time_axis, top, bottom);
    draw_legend(f, bottom + 48, top_db);
    return 0;
}
