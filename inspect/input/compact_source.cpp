#include "compact_source.h"

#include "data_format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>

namespace {

// Bytes of the "%.6f" texts of a column's values (no negative zero there):
// "d.dddddd", a '-' before each negative one, and one more for each power
// of ten from 10 up that a value reaches.
std::uint64_t column_text_bytes(const std::vector<std::int64_t>& column) {
    auto magnitude = [](std::int64_t v) {
        return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    };
    std::uint64_t negative = 0;
    std::uint64_t largest = 0;
    for (const std::int64_t v : column) {
        negative += v < 0 ? 1 : 0;
        largest = std::max(largest, magnitude(v));
    }
    std::uint64_t bytes = column.size() * (1 + 1 + row_decimals) + negative;
    // Values lie within 2^50: the power never overflows.
    for (std::uint64_t power = 10000000; power <= largest; power *= 10)
        for (const std::int64_t v : column) bytes += magnitude(v) >= power ? 1 : 0;
    return bytes;
}

// Where the rows stop for the frame's next piece.
void find_rows_to(compact_source* s) {
    const compact_frame& f = s->reader.codec.frame;
    s->rows_to = s->piece < f.piece_row.size() ? f.piece_row[s->piece] : f.time_us.size();
}

// The frame's rows and pieces must make exactly the text its header counts,
// as they do when it is given back as text.
compact_status measure_frame(compact_source* s) {
    const compact_frame& f = s->reader.codec.frame;
    s->frame_number_bytes = column_text_bytes(f.time_us) + column_text_bytes(f.volt_uv) +
                            column_text_bytes(f.accel_ug) + column_text_bytes(f.accel_ums2) +
                            4 * f.time_us.size();  // three commas and the line end
    const std::uint64_t pieces = f.piece_start.empty() ? 0 : f.piece_start.back();
    return s->frame_number_bytes + pieces == s->reader.header.content_size
               ? compact_status::ok
               : compact_status::malformed;
}

// Decodes the next frame when the last is all taken; false at the end of
// the file or on a fault, which is kept.
bool next_frame(compact_source* s) {
    if (s->frame_ready) return true;
    if (s->status != compact_status::ok) return false;
    bool at_end = false;
    compact_status status = compact_reader_next(&s->reader, &at_end, &s->read_errno);
    s->stored_bytes = s->reader.offset;
    if (status == compact_status::ok && at_end) return false;
    if (status == compact_status::ok) status = measure_frame(s);
    if (status != compact_status::ok) {
        s->status = status;
        return false;
    }
    s->frame_ready = true;
    s->row = 0;
    s->piece = 0;
    s->piece_taken = 0;
    find_rows_to(s);
    return true;
}

// Past the rows and pieces taken: the next piece, or the frame's end.
void step_on(compact_source* s) {
    const compact_frame& f = s->reader.codec.frame;
    if (s->row < s->rows_to) return;
    if (s->piece < f.piece_row.size()) {
        if (s->piece_taken < f.piece_start[s->piece + 1] - f.piece_start[s->piece]) return;
        ++s->piece;
        s->piece_taken = 0;
        find_rows_to(s);
        if (s->row < s->rows_to || s->piece < f.piece_row.size()) return;
    }
    s->frame_ready = false;
    s->number_bytes += s->frame_number_bytes;
}

}  // namespace

compact_source* compact_source_open(int fd) {
    compact_source* s = new (std::nothrow) compact_source{};
    if (!s) return nullptr;
    s->status = compact_reader_open(&s->reader, fd, &s->read_errno);
    s->stored_bytes = compact_file_header_size;
    return s;
}

void compact_source_close(compact_source* source) {
    if (!source) return;
    compact_reader_release(&source->reader);
    delete source;
}

std::size_t compact_source_rows(compact_source* s, csv_row* rows, std::size_t count) {
    if (s->text_taken < s->text_size || !next_frame(s) || s->row == s->rows_to) return 0;
    const compact_frame& f = s->reader.codec.frame;
    const std::size_t first = s->row;
    const std::size_t n = std::min(count, s->rows_to - first);
    const std::int64_t* time = f.time_us.data() + first;
    const std::int64_t* volt = f.volt_uv.data() + first;
    const std::int64_t* g = f.accel_ug.data() + first;
    const std::int64_t* ms2 = f.accel_ums2.data() + first;
    for (std::size_t i = 0; i < n; ++i)
        rows[i] = csv_row{compact_value(time[i]), compact_value(volt[i]), compact_value(g[i]),
                          compact_value(ms2[i])};
    s->row += n;
    step_on(s);
    return n;
}

compact_status compact_source_text(compact_source* s, char* out, std::size_t size,
                                   std::size_t* got) {
    *got = 0;
    while (*got < size) {
        if (s->text_taken < s->text_size) {
            const std::size_t n = std::min(size - *got, s->text_size - s->text_taken);
            std::memcpy(out + *got, s->text + s->text_taken, n);
            s->text_taken += n;
            *got += n;
            continue;
        }
        if (*got > 0) break;
        if (!next_frame(s)) return s->status;
        const compact_frame& f = s->reader.codec.frame;
        if (s->row < s->rows_to) {
            const std::size_t i = s->row++;
            char* end = s->text;
            for (const std::vector<std::int64_t>* column :
                 {&f.time_us, &f.volt_uv, &f.accel_ug, &f.accel_ums2}) {
                end = compact_format_millionths(end, (*column)[i]);
                *end++ = ',';
            }
            end[-1] = '\n';
            s->text_size = static_cast<std::size_t>(end - s->text);
            s->frame_number_bytes -= s->text_size;  // counted as text
            s->text_taken = 0;
        } else {
            const std::size_t from = f.piece_start[s->piece] + s->piece_taken;
            const std::size_t n = std::min(size, f.piece_start[s->piece + 1] - from);
            std::memcpy(out, f.piece_bytes.data() + from, n);
            s->piece_taken += n;
            *got = n;
        }
        step_on(s);
    }
    return compact_status::ok;
}
