#include "compact_source.h"

#include "data_format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>

namespace {

// Bytes of "%.6f" of `millionths` / 10^6 (no negative zero in a column).
std::size_t value_size(std::int64_t millionths) {
    const std::uint64_t magnitude = millionths < 0 ? 0 - static_cast<std::uint64_t>(millionths)
                                                   : static_cast<std::uint64_t>(millionths);
    std::size_t size = (millionths < 0 ? 1 : 0) + 1 + 1 + row_decimals;
    for (std::uint64_t ten_digits = 10000000; magnitude >= ten_digits && size < 32;
         ten_digits *= 10)
        ++size;
    return size;
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
    const std::size_t rows = f.time_us.size();
    s->row_size.resize(rows);
    std::uint64_t total = f.piece_start.empty() ? 0 : f.piece_start.back();
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t size = value_size(f.time_us[i]) + value_size(f.volt_uv[i]) +
                                 value_size(f.accel_ug[i]) + value_size(f.accel_ums2[i]) + 4;
        s->row_size[i] = static_cast<unsigned char>(size);
        total += size;
    }
    return total == s->reader.header.content_size ? compact_status::ok : compact_status::malformed;
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

compact_next compact_source_row(compact_source* s, csv_row* row, std::uint64_t* bytes) {
    for (;;) {
        if (s->text_taken < s->text_size) return compact_next::text;
        if (!next_frame(s))
            return s->status == compact_status::ok ? compact_next::end : compact_next::failed;
        if (s->row < s->rows_to) break;
        const compact_frame& f = s->reader.codec.frame;
        if (s->piece < f.piece_row.size()) return compact_next::text;
        step_on(s);
    }
    const compact_frame& f = s->reader.codec.frame;
    const std::size_t i = s->row++;
    row->time_s = compact_value(f.time_us[i]);
    row->volt = compact_value(f.volt_uv[i]);
    row->accel_g = compact_value(f.accel_ug[i]);
    row->accel_ms2 = compact_value(f.accel_ums2[i]);
    *bytes += s->row_size[i];
    if (s->row == s->rows_to) step_on(s);
    return compact_next::row;
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
