#include "compact_format.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <zlib.h>
#include <zstd.h>

#include "data_format.h"
#include "file_io.h"

namespace {

__extension__ typedef __int128 i128;

// The entropy coder's level: the streams are residuals, close to noise,
// where higher levels buy almost nothing and cost CPU.
constexpr int zstd_level = 1;
// Streams shorter than this are stored as they are.
constexpr std::size_t smallest_coded_stream = 32;

constexpr std::size_t payload_fixed_size = 44;
constexpr std::int64_t largest_millionths = std::int64_t{1} << 50;
constexpr std::int64_t largest_gain = std::int64_t{1} << 40;
// A value less its prediction: a prediction reaches 2^50 times the largest
// gain over 2^32, 2^58; any residual of a value within 2^50 stays below
// this, and the sum cannot overflow.
constexpr std::int64_t largest_residual = std::int64_t{1} << 60;
constexpr std::size_t shortest_row = 36;  // "0.000000,0.000000,0.000000,0.000000\n"
constexpr std::size_t longest_row = 4 * (1 + 10 + 1 + 6) + 4;
constexpr unsigned flag_grid = 1;
constexpr unsigned largest_order = 3;
constexpr unsigned symbol_escape = 255;

// From -limit to limit.
bool within(std::int64_t value, std::int64_t limit) { return value <= limit && value >= -limit; }

// CRC-32 as zlib and PNG compute it: zlib's own, many bytes a step.
std::uint32_t crc32_of(const unsigned char* bytes, std::size_t size) {
    return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), bytes, static_cast<uInt>(size)));
}

// Little-endian numbers of `n` bytes.
void put_le(unsigned char* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint64_t get_le(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
std::uint16_t get_u16(const unsigned char* p) { return static_cast<std::uint16_t>(get_le(p, 2)); }
std::uint32_t get_u32(const unsigned char* p) { return static_cast<std::uint32_t>(get_le(p, 4)); }

std::uint64_t zigzag(std::int64_t v) {
    const auto bits = static_cast<std::uint64_t>(v);
    return (bits << 1) ^ (0 - (bits >> 63));
}
std::int64_t unzigzag(std::uint64_t v) {
    return static_cast<std::int64_t>((v >> 1) ^ (~(v & 1) + 1));
}

void put_varint(std::vector<unsigned char>* out, std::uint64_t v) {
    while (v >= 0x80) {
        out->push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<unsigned char>(v));
}

bool get_varint(const unsigned char** p, const unsigned char* end, std::uint64_t* v) {
    *v = 0;
    for (unsigned shift = 0; shift < 64 && *p < end; shift += 7) {
        const unsigned char byte = *(*p)++;
        *v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

// round(x * gain / 2^32), halves up: the value a column predicts from
// another through the frame's gain.
std::int64_t predict_through(std::int64_t x, std::int64_t gain) {
    const i128 product = static_cast<i128>(x) * gain + (i128{1} << 31);
    return static_cast<std::int64_t>(product >> 32);
}

// The gain that best carries `from` into `to` by least squares, as a
// fixed-point number with 32 fraction bits.
std::int64_t fit_gain(const std::vector<std::int64_t>& from, const std::vector<std::int64_t>& to) {
    double cross = 0.0;
    double square = 0.0;
    for (std::size_t i = 0; i < from.size(); ++i) {
        const double x = static_cast<double>(from[i]);
        cross += x * static_cast<double>(to[i]);
        square += x * x;
    }
    if (square == 0.0) return 0;
    const double gain = std::ldexp(cross / square, 32);
    const double limit = static_cast<double>(largest_gain);
    return static_cast<std::int64_t>(std::llround(std::fmax(-limit, std::fmin(limit, gain))));
}

// The value polynomial predictor `order` expects after x[i-1], x[i-2] and
// x[i-3] (wrapping arithmetic: the decoder checks the range afterwards).
std::uint64_t predict_order(unsigned order, std::uint64_t x1, std::uint64_t x2, std::uint64_t x3) {
    switch (order) {
        case 0:
            return 0;
        case 1:
            return x1;
        case 2:
            return 2 * x1 - x2;
        default:
            return 3 * x1 - 3 * x2 + x3;
    }
}

// The lowest order whose residuals are smallest over the frame.
unsigned choose_order(const std::int64_t* x, std::size_t count) {
    double cost[largest_order + 1] = {};
    std::int64_t x1 = 0, x2 = 0, x3 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t v = x[i];
        cost[0] += std::fabs(static_cast<double>(v));
        cost[1] += std::fabs(static_cast<double>(v - x1));
        cost[2] += std::fabs(static_cast<double>(v - 2 * x1 + x2));
        cost[3] += std::fabs(static_cast<double>(v - 3 * x1 + 3 * x2 - x3));
        x3 = x2;
        x2 = x1;
        x1 = v;
    }
    unsigned best = 0;
    for (unsigned k = 1; k <= largest_order; ++k)
        if (cost[k] < cost[best]) best = k;
    return best;
}

// Residuals of x[] through `order`, zigzagged.
void residuals(const std::int64_t* x, std::size_t count, unsigned order,
               std::vector<std::uint64_t>* out) {
    out->resize(count);
    std::uint64_t x1 = 0, x2 = 0, x3 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint64_t>(x[i]);
        (*out)[i] = zigzag(static_cast<std::int64_t>(v - predict_order(order, x1, x2, x3)));
        x3 = x2;
        x2 = x1;
        x1 = v;
    }
}

// A field scan_field takes with at most 10 integer digits (any double of
// at most 2^50 millionths), in millionths; never "-0.000000".
const char* parse_field(const char* p, const char* limit, char end, std::int64_t* out) {
    bool negative = false;
    std::uint64_t value = 0;
    p = scan_field(p, limit, end, 10, &negative, &value);
    if (!p || value > static_cast<std::uint64_t>(largest_millionths) || (negative && value == 0))
        return nullptr;
    *out = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    return p;
}

// Appends one stream: its size, its stored size, and its bytes, coded when
// that makes them smaller.
compact_status put_stream(compact_codec* codec, const unsigned char* bytes, std::size_t size,
                          std::vector<unsigned char>* out) {
    std::size_t stored = size;
    const unsigned char* source = bytes;
    if (size >= smallest_coded_stream) {
        codec->scratch.resize(ZSTD_compressBound(size));
        const std::size_t coded =
            ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(codec->zstd_compress), codec->scratch.data(),
                              codec->scratch.size(), bytes, size, zstd_level);
        if (ZSTD_isError(coded)) return compact_status::coder_failed;
        if (coded < size) {
            stored = coded;
            source = codec->scratch.data();
        }
    }
    unsigned char sizes[8];
    put_le(sizes, size, 4);
    put_le(sizes + 4, stored, 4);
    out->insert(out->end(), sizes, sizes + 8);
    out->insert(out->end(), source, source + stored);
    return compact_status::ok;
}

// Byte planes of a column: as many as its values need, their number in
// `*width`, plane j (byte j of every value) as a stream of its own.
compact_status put_planes(compact_codec* codec, const std::vector<std::uint64_t>& column,
                          unsigned* width, std::vector<unsigned char>* out) {
    std::uint64_t all = 0;
    for (std::uint64_t v : column) all |= v;
    for (*width = 0; all != 0; all >>= 8) ++*width;
    for (unsigned j = 0; j < *width; ++j) {
        codec->stream.resize(column.size());
        for (std::size_t i = 0; i < column.size(); ++i)
            codec->stream[i] = static_cast<unsigned char>(column[i] >> (8 * j));
        const compact_status status = put_stream(codec, codec->stream.data(), column.size(), out);
        if (status != compact_status::ok) return status;
    }
    return compact_status::ok;
}

// The symbol of a row's (or a grid value's) g and m/s^2 residuals; those
// outside the symbol's range go to the escape stream.
void put_accel_residuals(std::int64_t volt, std::int64_t g, std::int64_t ms2, std::int64_t gain_g,
                         std::int64_t gain_ms2, std::vector<unsigned char>* symbols,
                         std::vector<unsigned char>* escapes) {
    const std::int64_t rg = g - predict_through(volt, gain_g);
    const std::int64_t ra = ms2 - predict_through(g, gain_ms2);
    if (rg >= -7 && rg <= 7 && ra >= -8 && ra <= 7) {
        symbols->push_back(static_cast<unsigned char>((rg + 7) * 16 + (ra + 8)));
        return;
    }
    symbols->push_back(symbol_escape);
    put_varint(escapes, zigzag(rg));
    put_varint(escapes, zigzag(ra));
}

struct grid_slot {
    std::int64_t volt;
    std::int64_t g;
    std::int64_t ms2;
    std::uint32_t rank;
    bool used;
};

// The frame's volts are a grid when they take at most half as many values
// as there are rows, and each value always comes with the same g and m/s^2.
// Then codec->alphabet holds the values in ascending order and codec->rank
// each row's index into it.
bool find_grid(compact_codec* codec) {
    const compact_frame& f = codec->frame;
    const std::size_t rows = f.volt_uv.size();
    if (rows < 2) return false;
    const std::size_t most = rows / 2;
    unsigned bits = 1;
    while ((std::size_t{1} << bits) < 2 * most + 2) ++bits;
    std::vector<grid_slot> slots(std::size_t{1} << bits, grid_slot{0, 0, 0, 0, false});
    const std::size_t mask = slots.size() - 1;
    std::size_t distinct = 0;
    std::vector<std::size_t> slot_of_row(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::int64_t v = f.volt_uv[i];
        std::size_t s = static_cast<std::size_t>(
            (static_cast<std::uint64_t>(v) * 0x9e3779b97f4a7c15u) >> (64 - bits));
        while (slots[s].used && slots[s].volt != v) s = (s + 1) & mask;
        if (!slots[s].used) {
            if (++distinct > most) return false;
            slots[s] = grid_slot{v, f.accel_ug[i], f.accel_ums2[i], 0, true};
        } else if (slots[s].g != f.accel_ug[i] || slots[s].ms2 != f.accel_ums2[i]) {
            return false;
        }
        slot_of_row[i] = s;
    }
    codec->alphabet.clear();
    for (const grid_slot& slot : slots)
        if (slot.used) codec->alphabet.push_back(slot.volt);
    std::sort(codec->alphabet.begin(), codec->alphabet.end());
    for (std::size_t k = 0; k < codec->alphabet.size(); ++k) {
        const std::int64_t v = codec->alphabet[k];
        std::size_t s = static_cast<std::size_t>(
            (static_cast<std::uint64_t>(v) * 0x9e3779b97f4a7c15u) >> (64 - bits));
        while (slots[s].volt != v) s = (s + 1) & mask;
        slots[s].rank = static_cast<std::uint32_t>(k);
    }
    codec->rank.resize(rows);
    codec->column_b.resize(codec->alphabet.size() * 2);
    for (std::size_t i = 0; i < rows; ++i) {
        const grid_slot& slot = slots[slot_of_row[i]];
        codec->rank[i] = slot.rank;
        const std::size_t at = std::size_t{2} * slot.rank;
        codec->column_b[at] = static_cast<std::uint64_t>(slot.g);
        codec->column_b[at + 1] = static_cast<std::uint64_t>(slot.ms2);
    }
    return true;
}

// The most common step between consecutive times (a majority vote: exact
// when most rows follow it, which is what it is for).
std::int64_t common_step(const std::vector<std::int64_t>& time) {
    std::int64_t candidate = 0;
    std::size_t votes = 0;
    for (std::size_t i = 1; i < time.size(); ++i) {
        const std::int64_t step = time[i] - time[i - 1];
        if (votes == 0) candidate = step;
        votes += step == candidate ? 1 : 0;
        votes -= (step != candidate && votes > 0) ? 1 : 0;
    }
    return candidate;
}

// Splits the text into model rows and verbatim pieces.
void split_rows(compact_frame* f, const char* text, std::size_t size) {
    f->time_us.clear();
    f->volt_uv.clear();
    f->accel_ug.clear();
    f->accel_ums2.clear();
    f->piece_row.clear();
    f->piece_start.clear();
    f->piece_bytes.clear();
    const char* p = text;
    const char* limit = text + size;
    const char* piece_end = nullptr;
    while (p < limit) {
        std::int64_t t, v, g, a;
        const char* q = parse_field(p, limit, ',', &t);
        if (q) q = parse_field(q, limit, ',', &v);
        if (q) q = parse_field(q, limit, ',', &g);
        if (q) q = parse_field(q, limit, '\n', &a);
        if (q) {
            f->time_us.push_back(t);
            f->volt_uv.push_back(v);
            f->accel_ug.push_back(g);
            f->accel_ums2.push_back(a);
            p = q;
            continue;
        }
        const void* line_end = std::memchr(p, '\n', static_cast<std::size_t>(limit - p));
        const char* end = line_end ? static_cast<const char*>(line_end) + 1 : limit;
        // Consecutive lines the model does not take make one piece.
        if (piece_end != p) {
            f->piece_row.push_back(static_cast<std::uint32_t>(f->time_us.size()));
            f->piece_start.push_back(static_cast<std::uint32_t>(f->piece_bytes.size()));
        }
        f->piece_bytes.append(p, end);
        piece_end = end;
        p = end;
    }
    f->piece_start.push_back(static_cast<std::uint32_t>(f->piece_bytes.size()));
}

// Reads the next stream: `expected` bytes (any count when `expected` is
// SIZE_MAX), decoded into codec->stream.
compact_status get_stream(compact_codec* codec, const unsigned char** p, const unsigned char* end,
                          std::size_t expected, std::size_t limit) {
    if (end - *p < 8) return compact_status::malformed;
    const std::uint32_t raw_size = get_u32(*p);
    const std::uint32_t coded_size = get_u32(*p + 4);
    *p += 8;
    if ((expected != SIZE_MAX && raw_size != expected) || raw_size > limit ||
        coded_size > raw_size || static_cast<std::size_t>(end - *p) < coded_size)
        return compact_status::malformed;
    codec->stream.resize(raw_size);
    if (coded_size == raw_size) {
        if (raw_size > 0) std::memcpy(codec->stream.data(), *p, raw_size);
    } else {
        const std::size_t got = ZSTD_decompressDCtx(static_cast<ZSTD_DCtx*>(codec->zstd_decompress),
                                                    codec->stream.data(), raw_size, *p, coded_size);
        if (ZSTD_isError(got) || got != raw_size) return compact_status::malformed;
    }
    *p += coded_size;
    return compact_status::ok;
}

// Into `column`, which the caller's int64 column may be: the values are
// transformed in place from there, with no second column of scratch.
compact_status get_planes(compact_codec* codec, const unsigned char** p, const unsigned char* end,
                          std::size_t count, unsigned width, std::uint64_t* column) {
    std::fill(column, column + count, 0);
    for (unsigned j = 0; j < width; ++j) {
        const compact_status status = get_stream(codec, p, end, count, count);
        if (status != compact_status::ok) return status;
        for (std::size_t i = 0; i < count; ++i)
            column[i] |= static_cast<std::uint64_t>(codec->stream[i]) << (8 * j);
    }
    return compact_status::ok;
}

// A column's values seen as the unsigned integers of the same width, which
// may alias them.
std::uint64_t* as_unsigned(std::vector<std::int64_t>* column) {
    return reinterpret_cast<std::uint64_t*>(column->data());
}

// Undoes the predictor in place; false when a value leaves the columns' range.
bool undo_order(std::int64_t* values, std::size_t count, unsigned order) {
    std::uint64_t x1 = 0, x2 = 0, x3 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t v =
            static_cast<std::uint64_t>(unzigzag(static_cast<std::uint64_t>(values[i]))) +
            predict_order(order, x1, x2, x3);
        const auto value = static_cast<std::int64_t>(v);
        if (!within(value, largest_millionths)) return false;
        values[i] = value;
        x3 = x2;
        x2 = x1;
        x1 = v;
    }
    return true;
}

// g and m/s^2 from the volts and the symbol and escape streams.
bool undo_accel(const std::int64_t* volt, std::size_t count, const unsigned char* symbols,
                const unsigned char** escape, const unsigned char* escape_end, std::int64_t gain_g,
                std::int64_t gain_ms2, std::int64_t* g, std::int64_t* ms2) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t rg, ra;
        if (symbols[i] == symbol_escape) {
            std::uint64_t zg, za;
            if (!get_varint(escape, escape_end, &zg) || !get_varint(escape, escape_end, &za))
                return false;
            rg = unzigzag(zg);
            ra = unzigzag(za);
        } else if (symbols[i] < 240) {
            rg = symbols[i] / 16 - 7;
            ra = symbols[i] % 16 - 8;
        } else {
            return false;
        }
        if (!within(rg, largest_residual) || !within(ra, largest_residual)) return false;
        g[i] = predict_through(volt[i], gain_g) + rg;
        ms2[i] = predict_through(g[i], gain_ms2) + ra;
        if (!within(g[i], largest_millionths) || !within(ms2[i], largest_millionths)) return false;
    }
    return true;
}

}  // namespace

const char* compact_status_text(compact_status status) {
    // In the order of compact_status.
    static const char* const texts[] = {
        "no fault",
        "not a compact recording: it does not start with the format's magic bytes",
        "a version of the compact format this program does not read",
        "cut short: the file ends inside a frame",
        "damaged: a frame header fails its checksum",
        "damaged: a frame's content fails its checksum",
        "damaged: a frame's content does not decode",
        "out of memory",
        "the entropy coder failed",
        "a read failed",
    };
    static_assert(sizeof texts / sizeof texts[0] ==
                  static_cast<std::size_t>(compact_status::read_failed) + 1);
    const auto i = static_cast<std::size_t>(status);
    return i < sizeof texts / sizeof texts[0] ? texts[i] : "unknown fault";
}

void compact_codec_release(compact_codec* codec) {
    ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(codec->zstd_decompress));
    codec->zstd_decompress = nullptr;
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(codec->zstd_compress));
    codec->zstd_compress = nullptr;
}

void compact_write_file_header(unsigned char out[compact_file_header_size]) {
    std::memcpy(out, compact_magic, sizeof compact_magic);
    put_le(out + 4, compact_version, 2);
    put_le(out + 6, 0, 2);
}

compact_status compact_check_file_header(const unsigned char* bytes, std::size_t size) {
    if (size < sizeof compact_magic || std::memcmp(bytes, compact_magic, sizeof compact_magic) != 0)
        return compact_status::not_compact;
    if (size < compact_file_header_size) return compact_status::cut_short;
    if (get_u16(bytes + 4) != compact_version || get_u16(bytes + 6) != 0)
        return compact_status::unsupported_version;
    return compact_status::ok;
}

std::size_t compact_frame_cut(const char* text, std::size_t size, bool at_end) {
    if (size <= compact_frame_written && at_end) return size;
    const std::size_t window = std::min(size, compact_frame_written);
    for (std::size_t i = window; i > 0; --i)
        if (text[i - 1] == '\n') return i;
    return window;
}

compact_status compact_encode_frame(compact_codec* codec, const char* text, std::size_t size,
                                    std::vector<unsigned char>* out) {
    if (!codec->zstd_compress) codec->zstd_compress = ZSTD_createCCtx();
    if (!codec->zstd_compress) return compact_status::no_memory;
    compact_frame& f = codec->frame;
    split_rows(&f, text, size);
    const std::size_t rows = f.time_us.size();

    const std::size_t header_at = out->size();
    out->resize(header_at + compact_frame_header_size + payload_fixed_size);
    const std::size_t payload_at = header_at + compact_frame_header_size;

    // Verbatim pieces: rows before each and its length, then their bytes.
    codec->stream.clear();
    std::vector<unsigned char> index;
    for (std::size_t k = 0; k + 1 < f.piece_start.size(); ++k) {
        put_varint(&index, f.piece_row[k] - (k > 0 ? f.piece_row[k - 1] : 0));
        put_varint(&index, f.piece_start[k + 1] - f.piece_start[k]);
    }
    compact_status status = put_stream(codec, index.data(), index.size(), out);
    if (status != compact_status::ok) return status;
    status = put_stream(codec, reinterpret_cast<const unsigned char*>(f.piece_bytes.data()),
                        f.piece_bytes.size(), out);
    if (status != compact_status::ok) return status;

    const std::int64_t gain_g = fit_gain(f.volt_uv, f.accel_ug);
    const std::int64_t gain_ms2 = fit_gain(f.accel_ug, f.accel_ums2);
    const bool grid = find_grid(codec);

    // The grid's values as ascending steps.
    unsigned grid_width = 0;
    std::vector<unsigned char> symbols, escapes;
    if (grid) {
        codec->column.resize(codec->alphabet.size());
        for (std::size_t k = 0; k < codec->alphabet.size(); ++k)
            codec->column[k] = zigzag(codec->alphabet[k] - (k > 0 ? codec->alphabet[k - 1] : 0));
        status = put_planes(codec, codec->column, &grid_width, out);
        if (status != compact_status::ok) return status;
        for (std::size_t k = 0; k < codec->alphabet.size(); ++k)
            put_accel_residuals(codec->alphabet[k],
                                static_cast<std::int64_t>(codec->column_b[2 * k]),
                                static_cast<std::int64_t>(codec->column_b[2 * k + 1]), gain_g,
                                gain_ms2, &symbols, &escapes);
    } else {
        for (std::size_t i = 0; i < rows; ++i)
            put_accel_residuals(f.volt_uv[i], f.accel_ug[i], f.accel_ums2[i], gain_g, gain_ms2,
                                &symbols, &escapes);
    }

    // Times: departures from the previous time plus the common step.
    const std::int64_t step = common_step(f.time_us);
    codec->column.resize(rows);
    for (std::size_t i = 0; i < rows; ++i)
        codec->column[i] = zigzag(f.time_us[i] - (i > 0 ? f.time_us[i - 1] : 0) - step);
    unsigned time_width = 0;
    status = put_planes(codec, codec->column, &time_width, out);
    if (status != compact_status::ok) return status;

    // Volts, or their ranks in the grid, through the best predictor.
    std::vector<std::int64_t> ranks;
    const std::int64_t* volt_source = f.volt_uv.data();
    if (grid) {
        ranks.assign(codec->rank.begin(), codec->rank.end());
        volt_source = ranks.data();
    }
    const unsigned order = choose_order(volt_source, rows);
    residuals(volt_source, rows, order, &codec->column);
    unsigned volt_width = 0;
    status = put_planes(codec, codec->column, &volt_width, out);
    if (status != compact_status::ok) return status;

    status = put_stream(codec, escapes.data(), escapes.size(), out);
    if (status != compact_status::ok) return status;
    status = put_stream(codec, symbols.data(), symbols.size(), out);
    if (status != compact_status::ok) return status;

    unsigned char* fixed = out->data() + payload_at;
    std::memset(fixed, 0, payload_fixed_size);
    fixed[0] = grid ? flag_grid : 0;
    fixed[1] = static_cast<unsigned char>(order);
    fixed[2] = static_cast<unsigned char>(time_width);
    fixed[3] = static_cast<unsigned char>(volt_width);
    fixed[4] = static_cast<unsigned char>(grid_width);
    put_le(fixed + 8, rows, 4);
    put_le(fixed + 12, f.piece_row.size(), 4);
    put_le(fixed + 16, grid ? codec->alphabet.size() : 0, 4);
    put_le(fixed + 20, static_cast<std::uint64_t>(step), 8);
    put_le(fixed + 28, static_cast<std::uint64_t>(gain_g), 8);
    put_le(fixed + 36, static_cast<std::uint64_t>(gain_ms2), 8);

    const std::size_t payload_size = out->size() - payload_at;
    unsigned char* header = out->data() + header_at;
    std::memcpy(header, compact_frame_sync, sizeof compact_frame_sync);
    put_le(header + 4, size, 4);
    put_le(header + 8, payload_size, 4);
    put_le(header + 12, crc32_of(out->data() + payload_at, payload_size), 4);
    put_le(header + 16, crc32_of(header, 16), 4);
    return compact_status::ok;
}

compact_status compact_read_frame_header(const unsigned char* bytes, compact_frame_header* header) {
    if (std::memcmp(bytes, compact_frame_sync, sizeof compact_frame_sync) != 0 ||
        crc32_of(bytes, 16) != get_u32(bytes + 16))
        return compact_status::header_damaged;
    header->content_size = get_u32(bytes + 4);
    header->payload_size = get_u32(bytes + 8);
    header->payload_crc = get_u32(bytes + 12);
    if (header->content_size == 0 || header->content_size > compact_frame_content ||
        header->payload_size < payload_fixed_size ||
        header->payload_size > compact_frame_payload_max)
        return compact_status::malformed;
    return compact_status::ok;
}

std::size_t compact_find_frame(const unsigned char* bytes, std::size_t size) {
    compact_frame_header header{};
    for (std::size_t i = 0; i + compact_frame_header_size <= size; ++i)
        if (bytes[i] == compact_frame_sync[0] &&
            compact_read_frame_header(bytes + i, &header) == compact_status::ok)
            return i;
    return size;
}

compact_status compact_decode_frame(compact_codec* codec, const compact_frame_header& header,
                                    const unsigned char* payload) {
    if (crc32_of(payload, header.payload_size) != header.payload_crc)
        return compact_status::payload_damaged;
    if (!codec->zstd_decompress) codec->zstd_decompress = ZSTD_createDCtx();
    if (!codec->zstd_decompress) return compact_status::no_memory;
    const unsigned char* fixed = payload;
    const unsigned flags = fixed[0];
    const unsigned order = fixed[1];
    const unsigned time_width = fixed[2];
    const unsigned volt_width = fixed[3];
    const unsigned grid_width = fixed[4];
    const std::size_t rows = get_u32(fixed + 8);
    const std::size_t pieces = get_u32(fixed + 12);
    const std::size_t grid_size = get_u32(fixed + 16);
    const auto step = static_cast<std::int64_t>(get_le(fixed + 20, 8));
    const auto gain_g = static_cast<std::int64_t>(get_le(fixed + 28, 8));
    const auto gain_ms2 = static_cast<std::int64_t>(get_le(fixed + 36, 8));
    const bool grid = (flags & flag_grid) != 0;
    const std::size_t content = header.content_size;
    if ((flags & ~flag_grid) != 0 || order > largest_order || time_width > 8 || volt_width > 8 ||
        grid_width > 8 || fixed[5] != 0 || fixed[6] != 0 || fixed[7] != 0 ||
        rows > content / shortest_row || pieces > content || (!grid && grid_size != 0) ||
        grid_size > rows || !within(gain_g, largest_gain) || !within(gain_ms2, largest_gain) ||
        !within(step, largest_millionths))
        return compact_status::malformed;
    const unsigned char* p = payload + payload_fixed_size;
    const unsigned char* end = payload + header.payload_size;
    compact_frame& f = codec->frame;

    compact_status status = get_stream(codec, &p, end, SIZE_MAX, 2 * pieces * 10);
    if (status != compact_status::ok) return status;
    f.piece_row.resize(pieces);
    f.piece_start.resize(pieces + 1);
    {
        const unsigned char* q = codec->stream.data();
        const unsigned char* q_end = q + codec->stream.size();
        std::uint64_t row = 0, start = 0;
        for (std::size_t k = 0; k < pieces; ++k) {
            std::uint64_t gap, length;
            if (!get_varint(&q, q_end, &gap) || !get_varint(&q, q_end, &length) ||
                gap > rows - row || length == 0 || length > content - start)
                return compact_status::malformed;
            row += gap;
            f.piece_row[k] = static_cast<std::uint32_t>(row);
            f.piece_start[k] = static_cast<std::uint32_t>(start);
            start += length;
        }
        f.piece_start[pieces] = static_cast<std::uint32_t>(start);
        if (q != q_end) return compact_status::malformed;
        status = get_stream(codec, &p, end, start, content);
        if (status != compact_status::ok) return status;
        f.piece_bytes.assign(reinterpret_cast<const char*>(codec->stream.data()),
                             codec->stream.size());
    }

    std::vector<std::int64_t>& grid_volt = codec->alphabet;
    if (grid) {
        grid_volt.resize(grid_size);
        status = get_planes(codec, &p, end, grid_size, grid_width, as_unsigned(&grid_volt));
        if (status != compact_status::ok) return status;
        std::int64_t v = 0;
        for (std::size_t k = 0; k < grid_size; ++k) {
            const std::int64_t delta = unzigzag(static_cast<std::uint64_t>(grid_volt[k]));
            if (!within(delta, 2 * largest_millionths)) return compact_status::malformed;
            v += delta;
            if (!within(v, largest_millionths)) return compact_status::malformed;
            grid_volt[k] = v;
        }
    }

    f.time_us.resize(rows);
    status = get_planes(codec, &p, end, rows, time_width, as_unsigned(&f.time_us));
    if (status != compact_status::ok) return status;
    {
        std::uint64_t t = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            t += static_cast<std::uint64_t>(unzigzag(static_cast<std::uint64_t>(f.time_us[i]))) +
                 static_cast<std::uint64_t>(step);
            const auto value = static_cast<std::int64_t>(t);
            if (!within(value, largest_millionths)) return compact_status::malformed;
            f.time_us[i] = value;
        }
    }

    f.volt_uv.resize(rows);
    status = get_planes(codec, &p, end, rows, volt_width, as_unsigned(&f.volt_uv));
    if (status != compact_status::ok) return status;
    if (!undo_order(f.volt_uv.data(), rows, order)) return compact_status::malformed;

    status = get_stream(codec, &p, end, SIZE_MAX, content);
    if (status != compact_status::ok) return status;
    std::vector<unsigned char> escapes(codec->stream);
    const unsigned char* escape = escapes.data();
    const unsigned char* escape_end = escape + escapes.size();
    const std::size_t accel_count = grid ? grid_size : rows;
    status = get_stream(codec, &p, end, accel_count, content);
    if (status != compact_status::ok) return status;
    if (p != end) return compact_status::malformed;
    f.accel_ug.resize(rows);
    f.accel_ums2.resize(rows);
    if (!grid) {
        if (!undo_accel(f.volt_uv.data(), rows, codec->stream.data(), &escape, escape_end, gain_g,
                        gain_ms2, f.accel_ug.data(), f.accel_ums2.data()))
            return compact_status::malformed;
    } else {
        std::vector<std::int64_t> grid_g(grid_size), grid_ms2(grid_size);
        if (!undo_accel(grid_volt.data(), grid_size, codec->stream.data(), &escape, escape_end,
                        gain_g, gain_ms2, grid_g.data(), grid_ms2.data()))
            return compact_status::malformed;
        for (std::size_t i = 0; i < rows; ++i) {
            const std::int64_t rank = f.volt_uv[i];
            if (rank < 0 || static_cast<std::size_t>(rank) >= grid_size)
                return compact_status::malformed;
            f.volt_uv[i] = grid_volt[static_cast<std::size_t>(rank)];
            f.accel_ug[i] = grid_g[static_cast<std::size_t>(rank)];
            f.accel_ums2[i] = grid_ms2[static_cast<std::size_t>(rank)];
        }
    }
    if (escape != escape_end) return compact_status::malformed;
    return compact_status::ok;
}

char* compact_format_millionths(char* out, std::int64_t millionths) {
    *out = '-';
    out += millionths < 0 ? 1 : 0;
    const std::uint64_t magnitude = millionths < 0 ? 0 - static_cast<std::uint64_t>(millionths)
                                                   : static_cast<std::uint64_t>(millionths);
    std::uint64_t integer = magnitude / 1000000;
    auto fraction = static_cast<std::uint32_t>(magnitude % 1000000);
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + integer % 10);
        integer /= 10;
    } while (integer != 0);
    while (count > 0) *out++ = digits[--count];
    *out = '.';
    for (int i = 6; i >= 1; --i) {
        out[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return out + 7;
}

namespace {

char* format_row_line(char* p, const compact_frame& frame, std::size_t row) {
    const std::vector<std::int64_t>* columns[] = {&frame.time_us, &frame.volt_uv, &frame.accel_ug,
                                                  &frame.accel_ums2};
    for (const std::vector<std::int64_t>* column : columns) {
        p = compact_format_millionths(p, (*column)[row]);
        *p++ = ',';
    }
    p[-1] = '\n';
    return p;
}

}  // namespace

compact_status compact_frame_text(const compact_frame& frame, char* out, std::size_t size) {
    char* p = out;
    char* const limit = out + size;
    const std::size_t rows = frame.time_us.size();
    std::size_t row = 0;
    const std::size_t pieces = frame.piece_row.size();
    for (std::size_t k = 0; k <= pieces; ++k) {
        const std::size_t until = k < pieces ? frame.piece_row[k] : rows;
        for (; row < until; ++row) {
            if (static_cast<std::size_t>(limit - p) >= longest_row) {
                p = format_row_line(p, frame, row);
                continue;
            }
            // Only the last rows may come this close to the end.
            char line[longest_row];
            const auto length = static_cast<std::size_t>(format_row_line(line, frame, row) - line);
            if (length > static_cast<std::size_t>(limit - p)) return compact_status::malformed;
            std::memcpy(p, line, length);
            p += length;
        }
        if (k < pieces) {
            const std::size_t length = frame.piece_start[k + 1] - frame.piece_start[k];
            if (length > static_cast<std::size_t>(limit - p)) return compact_status::malformed;
            std::memcpy(p, frame.piece_bytes.data() + frame.piece_start[k], length);
            p += length;
        }
    }
    return p == limit ? compact_status::ok : compact_status::malformed;
}

namespace {

// read_at, with its failure's errno in *read_errno.
ssize_t read_noting(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset,
                    int* read_errno) {
    const ssize_t got = read_at(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0) *read_errno = errno;
    return got;
}

}  // namespace

void compact_reader_release(compact_reader* reader) { compact_codec_release(&reader->codec); }

compact_status compact_reader_open(compact_reader* reader, int fd, int* read_errno) {
    reader->fd = fd;
    // The largest frame's room at once, taken here: vectors that grew frame
    // by frame would double their capacity when a frame is a little larger
    // than the last. Pages a frame does not use stay untouched.
    constexpr std::size_t most_rows = compact_frame_content / shortest_row;
    compact_frame& f = reader->codec.frame;
    for (std::vector<std::int64_t>* column : {&f.time_us, &f.volt_uv, &f.accel_ug, &f.accel_ums2})
        column->reserve(most_rows);
    reader->codec.stream.reserve(compact_frame_content);
    reader->payload.reserve(compact_frame_payload_max);
    unsigned char bytes[compact_file_header_size];
    const ssize_t got = read_noting(fd, bytes, sizeof bytes, 0, read_errno);
    if (got < 0) return compact_status::read_failed;
    reader->offset = compact_file_header_size;
    return compact_check_file_header(bytes, static_cast<std::size_t>(got));
}

compact_status compact_reader_next(compact_reader* reader, bool* at_end, int* read_errno) {
    *at_end = false;
    unsigned char bytes[compact_frame_header_size];
    const ssize_t got = read_noting(reader->fd, bytes, sizeof bytes, reader->offset, read_errno);
    if (got < 0) return compact_status::read_failed;
    if (got == 0) {
        *at_end = true;
        return compact_status::ok;
    }
    if (static_cast<std::size_t>(got) < sizeof bytes) {
        reader->offset += static_cast<std::uint64_t>(got);
        return compact_status::cut_short;
    }
    compact_status status = compact_read_frame_header(bytes, &reader->header);
    if (status != compact_status::ok) {
        // On to the next header that holds, a window at a time.
        constexpr std::size_t window = std::size_t{64} * 1024;
        reader->payload.resize(window);
        std::uint64_t from = reader->offset + 1;
        for (;;) {
            const ssize_t seen =
                read_noting(reader->fd, reader->payload.data(), window, from, read_errno);
            if (seen < 0) return compact_status::read_failed;
            const auto n = static_cast<std::size_t>(seen);
            const std::size_t at = compact_find_frame(reader->payload.data(), n);
            if (at < n || n < window) {
                reader->offset = from + at;
                return status;
            }
            from += n - compact_frame_header_size + 1;
        }
    }
    reader->offset += compact_frame_header_size;
    reader->payload.resize(reader->header.payload_size);
    const ssize_t taken = read_noting(reader->fd, reader->payload.data(),
                                      reader->header.payload_size, reader->offset, read_errno);
    if (taken < 0) return compact_status::read_failed;
    reader->offset += static_cast<std::uint64_t>(taken);
    if (static_cast<std::size_t>(taken) < reader->header.payload_size)
        return compact_status::cut_short;
    return compact_decode_frame(&reader->codec, reader->header, reader->payload.data());
}
