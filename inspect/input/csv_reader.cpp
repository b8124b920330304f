#include "csv_reader.h"

#include "compact_source.h"
#include "data_format.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

// A whole row and the unread part of the next must fit at once.
const std::size_t csv_reader_min_buffer = 2 * max_row_size + 64;

namespace {

// Integer digits of the largest double printed with "%.6f".
constexpr std::size_t max_integer_digits = max_field_size - 1 - 1 - row_decimals;

bool set_problem(row_problem* problem, row_fault fault, int field, std::size_t column) {
    *problem = row_problem{fault, field, column, 0, 0, 0};
    return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What an unexpected byte inside a number means to a reader of the message.
bool character_problem(row_problem* problem, int field, std::size_t column, char c) {
    if (c == 'e' || c == 'E') return set_problem(problem, row_fault::exponent, field, column);
    if (c == ' ' || c == '\t') return set_problem(problem, row_fault::blank, field, column);
    if (c == '+') return set_problem(problem, row_fault::plus_sign, field, column);
    set_problem(problem, row_fault::bad_character, field, column);
    problem->byte = static_cast<unsigned char>(c);
    return false;
}

// A field scan_field takes with at most 9 integer digits, as a double.
const char* quick_field(const char* s, const char* end, char stop, double* value) {
    bool negative = false;
    std::uint64_t n = 0;
    s = scan_field(s, end, stop, 9, &negative, &n);
    if (!s) return nullptr;
    // Up to 15 digits the value is an integer below 2^53 over 10^6, both
    // exact in a double, and one correctly rounded division gives the same
    // double from_chars would.
    static_assert(row_decimals == 6, "the divisor is 10^row_decimals");
    const double magnitude = static_cast<double>(n) / 1e6;
    *value = negative ? -magnitude : magnitude;
    return s;
}

// One field [first, last) of `line`: "-"? digits "." six digits, or one of
// the four spellings "%.6f" has for values that are not finite.
bool parse_field(const char* line, const char* first, const char* last, int field, double* value,
                 row_problem* problem) {
    auto column = [line](const char* at) { return static_cast<std::size_t>(at - line) + 1; };
    if (quick_field(first, last, '\0', value)) return true;
    if (first == last) return set_problem(problem, row_fault::empty_field, field, column(first));
    const char* s = first;
    const bool negative = *s == '-';
    s += negative ? 1 : 0;
    const std::size_t rest = static_cast<std::size_t>(last - s);
    if (rest == 3 && (std::memcmp(s, "nan", 3) == 0 || std::memcmp(s, "inf", 3) == 0)) {
        const double special = *s == 'n' ? std::numeric_limits<double>::quiet_NaN()
                                         : std::numeric_limits<double>::infinity();
        *value = negative ? -special : special;
        return true;
    }

    const char* digits = s;
    while (s < last && is_digit(*s)) ++s;
    const std::size_t integer_digits = static_cast<std::size_t>(s - digits);
    if (integer_digits == 0) {
        if (s == last || *s == '.')
            return set_problem(problem, row_fault::no_integer_digits, field, column(s));
        return character_problem(problem, field, column(s), *s);
    }
    if (integer_digits > 1 && *digits == '0')
        return set_problem(problem, row_fault::leading_zero, field, column(digits));
    if (integer_digits > max_integer_digits)
        return set_problem(problem, row_fault::integer_too_long, field, column(digits));
    if (s == last) return set_problem(problem, row_fault::no_decimal_point, field, column(s));
    if (*s != '.') return character_problem(problem, field, column(s), *s);
    ++s;
    const char* decimals = s;
    while (s < last && is_digit(*s)) ++s;
    if (s != last) return character_problem(problem, field, column(s), *s);
    const int decimal_count = static_cast<int>(s - decimals);
    if (decimal_count != row_decimals) {
        set_problem(problem, row_fault::decimals, field, column(decimals));
        problem->decimals = decimal_count;
        return false;
    }

    std::from_chars_result result = std::from_chars(first, last, *value);
    if (result.ec == std::errc::result_out_of_range)
        return set_problem(problem, row_fault::out_of_range, field, column(first));
    if (result.ec != std::errc() || result.ptr != last)  // unreachable after the scan above
        return set_problem(problem, row_fault::bad_character, field, column(first));
    return true;
}

bool looks_binary(const char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7f) return true;
    }
    return false;
}

// Moves the unread bytes to the front and reads once more behind them; or,
// reading a decompressed piece in place, takes the next one with the unread
// bytes in front of it.
read_fault fill(csv_reader* reader) {
    std::size_t got = 0;
    source_error error = source_error::none;
    if (!reader->owned) {
        char* data = nullptr;
        error =
            byte_source_next_piece(&reader->source, reader->buffer + reader->begin,
                                   reader->end - reader->begin, &data, &got, &reader->failure.err);
        if (error == source_error::none && got > 0) {
            reader->buffer = data;
            reader->begin = 0;
            reader->end = 0;
        }
    } else {
        if (reader->begin > 0) {
            std::memmove(reader->buffer, reader->buffer + reader->begin,
                         reader->end - reader->begin);
            reader->end -= reader->begin;
            reader->begin = 0;
        }
        error = byte_source_read(&reader->source, reader->buffer + reader->end,
                                 reader->capacity - reader->end, &got, &reader->failure.err);
    }
    switch (error) {
        case source_error::none:
            break;
        case source_error::io:
            return read_fault::io_error;
        case source_error::no_memory:
            reader->failure.err = ENOMEM;
            return read_fault::io_error;
        case source_error::cut_short:
            return read_fault::compressed_cut_short;
        case source_error::window:
            return read_fault::compressed_window;
        case source_error::corrupt:
            std::snprintf(reader->failure.excerpt, sizeof reader->failure.excerpt, "%s",
                          reader->source.error_name);
            return read_fault::compressed_corrupt;
        case source_error::compact_fault:
            return reader->failure.err == static_cast<int>(compact_status::cut_short)
                       ? read_fault::compact_cut_short
                       : read_fault::compact_damaged;
    }
    if (got == 0) reader->at_eof = true;
    reader->end += got;
    return read_fault::none;
}

read_status fail(csv_reader* reader, read_fault fault, std::uint64_t line) {
    reader->failure.fault = fault;
    reader->failure.line = line;
    return read_status::failed;
}

void keep_excerpt(csv_reader* reader, std::size_t size) {
    char* out = reader->failure.excerpt;
    const std::size_t room = sizeof reader->failure.excerpt - 1;
    std::size_t n = 0;
    for (std::size_t i = 0; i < size && n < room; ++i) {
        char c = reader->buffer[reader->begin + i];
        if (c == '\n') break;
        out[n++] = (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    out[n] = '\0';
}

read_status take_header(csv_reader* reader) {
    while (reader->end - reader->begin < data_file_header_size && !reader->at_eof) {
        const read_fault fault = fill(reader);
        if (fault != read_fault::none) return fail(reader, fault, 1);
    }
    const std::size_t available = reader->end - reader->begin;
    const char* start = reader->buffer + reader->begin;
    const std::size_t compared = std::min(available, data_file_header_size);
    // A file being written may not hold its whole header yet.
    if (reader->growing && available < data_file_header_size &&
        std::memcmp(start, data_file_header, compared) == 0) {
        reader->at_eof = false;
        return read_status::more;
    }
    if (available == 0) return fail(reader, read_fault::empty_file, 1);
    if (std::memcmp(start, data_file_header, compared) != 0) {
        if (looks_binary(start, compared)) return fail(reader, read_fault::binary_data, 1);
        keep_excerpt(reader, available);
        return fail(reader, read_fault::bad_header, 1);
    }
    if (available < data_file_header_size) return fail(reader, read_fault::header_cut_short, 1);
    reader->begin += data_file_header_size;
    reader->bytes = data_file_header_size;
    reader->line = 1;
    reader->header_done = true;
    return read_status::row;
}

// "Volt(V)" for field 2, taken from the header itself.
void field_name(int field, char* out, std::size_t out_size) {
    const char* start = data_file_header;
    for (int i = 1; i < field && start; ++i) {
        start = std::strchr(start, ',');
        if (start) ++start;
    }
    if (!start || out_size == 0) {
        if (out_size) out[0] = '\0';
        return;
    }
    std::size_t n = std::strcspn(start, ",\n");
    if (n >= out_size) n = out_size - 1;
    std::memcpy(out, start, n);
    out[n] = '\0';
}

// The faults a fixed text tells; the others below put a number in theirs.
struct fault_text {
    row_fault fault;
    const char* text;
};
constexpr fault_text fixed_fault_texts[] = {
    {row_fault::none, "no fault"},
    {row_fault::empty_line, "empty line"},
    {row_fault::carriage_return, "carriage return before the line end"},
    {row_fault::empty_field, "empty"},
    {row_fault::plus_sign, "'+' sign not allowed"},
    {row_fault::blank, "blank not allowed"},
    {row_fault::exponent, "exponent not allowed"},
    {row_fault::no_integer_digits, "no digit before the decimal point"},
    {row_fault::leading_zero, "leading zero"},
    {row_fault::no_decimal_point, "no decimal point"},
    {row_fault::out_of_range, "value out of range"},
};

void describe_row_problem(const row_problem& problem, char* out, std::size_t out_size) {
    char what[96] = "";
    for (const fault_text& f : fixed_fault_texts)
        if (f.fault == problem.fault) std::snprintf(what, sizeof what, "%s", f.text);
    switch (problem.fault) {
        case row_fault::field_count:
            std::snprintf(what, sizeof what, "%d field%s, expected 4 separated by commas",
                          problem.fields, problem.fields == 1 ? "" : "s");
            break;
        case row_fault::decimals:
            std::snprintf(what, sizeof what, "%d decimal%s, expected %d", problem.decimals,
                          problem.decimals == 1 ? "" : "s", row_decimals);
            break;
        case row_fault::bad_character:
            if (problem.byte >= 0x20 && problem.byte < 0x7f)
                std::snprintf(what, sizeof what, "unexpected character '%c'", problem.byte);
            else
                std::snprintf(what, sizeof what, "unexpected byte 0x%02x", problem.byte);
            break;
        case row_fault::integer_too_long:
            std::snprintf(what, sizeof what, "more than %zu integer digits", max_integer_digits);
            break;
        default:
            break;
    }
    if (problem.field > 0) {
        char name[32];
        field_name(problem.field, name, sizeof name);
        std::snprintf(out, out_size, "field %d (%s): %s (column %zu)", problem.field, name, what,
                      problem.column);
    } else if (problem.column > 0) {
        std::snprintf(out, out_size, "%s (column %zu)", what, problem.column);
    } else {
        std::snprintf(out, out_size, "%s", what);
    }
}

}  // namespace

bool parse_row(const char* line, std::size_t size, csv_row* row, row_problem* problem) {
    const char* end = line + size;
    const char* next = quick_field(line, end, ',', &row->time_s);
    if (next) next = quick_field(next, end, ',', &row->volt);
    if (next) next = quick_field(next, end, ',', &row->accel_g);
    if (next && quick_field(next, end, '\0', &row->accel_ms2)) return true;

    if (size == 0) return set_problem(problem, row_fault::empty_line, 0, 0);
    if (line[size - 1] == '\r') return set_problem(problem, row_fault::carriage_return, 0, size);
    const int fields = 1 + static_cast<int>(std::count(line, end, ','));
    if (fields != 4) {
        set_problem(problem, row_fault::field_count, 0, 0);
        problem->fields = fields;
        return false;
    }
    double* values[4] = {&row->time_s, &row->volt, &row->accel_g, &row->accel_ms2};
    const char* first = line;
    for (int field = 1; field <= 4; ++field) {
        const char* last = field < 4 ? static_cast<const char*>(std::memchr(
                                           first, ',', static_cast<std::size_t>(end - first)))
                                     : end;
        if (!parse_field(line, first, last, field, values[field - 1], problem)) return false;
        first = last + 1;
    }
    return true;
}

namespace {

int attach(csv_reader* reader, int fd, bool owns_fd, std::size_t buffer_size) {
    *reader = csv_reader{};
    int error = byte_source_attach(&reader->source, fd, owns_fd);
    if (error != 0) return error;
    // Decompressed on a thread of its own, the file is read where it lands.
    if (reader->source.threaded) return 0;
    // Of a compact file only the pieces its columns do not hold are text.
    if (reader->source.compact) buffer_size = 0;
    buffer_size = std::max(buffer_size, csv_reader_min_buffer);
    reader->owned = static_cast<char*>(std::malloc(buffer_size));
    if (!reader->owned) {
        reader->source.owns_fd = false;  // the caller's to close, as on any failure
        byte_source_close(&reader->source);
        return ENOMEM;
    }
    reader->buffer = reader->owned;
    reader->capacity = buffer_size;
    return 0;
}

}  // namespace

int csv_reader_attach(csv_reader* reader, int fd, std::size_t buffer_size) {
    return attach(reader, fd, false, buffer_size);
}

int csv_reader_open(csv_reader* reader, const char* path, std::size_t buffer_size) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = attach(reader, fd, true, buffer_size);
    if (error != 0) ::close(fd);
    return error;
}

namespace {

// Whether [s, end) could begin a field: "-"? then a start of "nan" or "inf",
// or digits that may go on into a number of the row's form.
bool is_field_start(const char* s, const char* end) {
    if (s < end && *s == '-') ++s;
    const std::size_t rest = static_cast<std::size_t>(end - s);
    if (rest <= 3 && (std::memcmp(s, "nan", rest) == 0 || std::memcmp(s, "inf", rest) == 0))
        return true;
    const char* digits = s;
    while (s < end && is_digit(*s)) ++s;
    const std::size_t integer_digits = static_cast<std::size_t>(s - digits);
    if (integer_digits == 0 || integer_digits > max_integer_digits ||
        (integer_digits > 1 && *digits == '0'))
        return false;
    if (s == end) return true;
    if (*s++ != '.') return false;
    const char* decimals = s;
    while (s < end && is_digit(*s)) ++s;
    return s == end && s - decimals <= row_decimals;
}

// Whether `size` bytes are a row cut short anywhere before its line end:
// whole fields, then the start of one.
bool is_row_start(const char* line, std::size_t size) {
    const char* end = line + size;
    const char* first = line;
    for (int field = 1;; ++field) {
        const char* comma = static_cast<const char*>(
            std::memchr(first, ',', static_cast<std::size_t>(end - first)));
        if (!comma) return is_field_start(first, end);
        double value = 0.0;
        row_problem problem{};
        if (field == 4 || !parse_field(line, first, comma, field, &value, &problem)) return false;
        first = comma + 1;
    }
}

// At the end of the last file of a run, the `available` bytes without a line
// end may be an interrupted tail: a row cut short, then nothing but NUL
// bytes up to the end. Takes them and returns true when they are.
bool take_tail(csv_reader* reader, std::size_t available) {
    if (!reader->last_of_run || reader->growing) return false;
    const char* start = reader->buffer + reader->begin;
    const char* nul = static_cast<const char*>(std::memchr(start, '\0', available));
    const std::size_t row_bytes = nul ? static_cast<std::size_t>(nul - start) : available;
    if (!is_row_start(start, row_bytes)) return false;
    for (std::size_t i = row_bytes; i < available; ++i)
        if (start[i] != '\0') return false;
    reader->tail = interrupted_tail{row_bytes, available - row_bytes};
    reader->begin = reader->end;
    reader->in_tail = true;
    return true;
}

read_status next_row(csv_reader* reader, csv_row* row) {
    for (;;) {
        char* start = reader->buffer + reader->begin;
        const std::size_t available = reader->end - reader->begin;
        if (reader->in_tail) {
            // Anything but NUL bytes after the row cut short: the line, as
            // long as it is, is no row.
            for (std::size_t i = 0; i < available; ++i)
                if (start[i] != '\0') {
                    reader->tail = interrupted_tail{};
                    return fail(reader, read_fault::line_too_long, reader->line + 1);
                }
            reader->tail.nul_bytes += available;
            reader->begin = reader->end;
            if (reader->at_eof) return read_status::end;
            const read_fault fault = fill(reader);
            if (fault != read_fault::none) return fail(reader, fault, reader->line + 1);
            continue;
        }
        const std::size_t searched = std::min(available, max_row_size);
        char* newline = static_cast<char*>(std::memchr(start, '\n', searched));
        if (newline) {
            const std::size_t size = static_cast<std::size_t>(newline - start);
            if (!parse_row(start, size, row, &reader->failure.problem))
                return fail(reader, read_fault::bad_row, reader->line + 1);
            ++reader->line;
            ++reader->rows;
            reader->begin += size + 1;
            reader->bytes += size + 1;
            return read_status::row;
        }
        if (available >= max_row_size) {
            if (take_tail(reader, available)) continue;
            return fail(reader, read_fault::line_too_long, reader->line + 1);
        }
        if (reader->at_eof && reader->growing) {
            reader->at_eof = false;  // the rest of the line is still to be written
            return read_status::more;
        }
        if (reader->at_eof) {
            if (available == 0 || take_tail(reader, available)) return read_status::end;
            return fail(reader, read_fault::cut_short, reader->line + 1);
        }
        const read_fault fault = fill(reader);
        if (fault != read_fault::none) return fail(reader, fault, reader->line + 1);
    }
}

// A fault in decompressed text may only be the decompressor's output of a
// damaged stream, which its checksum at the frame's end shows: that is
// the fault to name, at the same line.
void blame_damaged_stream(csv_reader* reader) {
    // A compact frame's checksums are checked before its rows are taken.
    if (reader->source.kind == source_kind::plain || reader->source.compact) return;
    const read_fault seen = reader->failure.fault;
    if (seen == read_fault::io_error || seen == read_fault::compressed_cut_short ||
        seen == read_fault::compressed_corrupt || seen == read_fault::compressed_window)
        return;
    read_failure found = reader->failure;
    for (;;) {
        reader->begin = reader->end = 0;
        const read_fault fault = fill(reader);
        if (fault == read_fault::compressed_cut_short || fault == read_fault::compressed_corrupt) {
            found.fault = fault;
            std::memcpy(found.excerpt, reader->failure.excerpt, sizeof found.excerpt);
            break;
        }
        if (fault != read_fault::none || reader->at_eof) break;
    }
    reader->failure = found;
}

}  // namespace

std::size_t csv_reader_take_rows(csv_reader* reader, csv_row* rows, std::size_t count) {
    if (!reader->source.compact || !reader->header_done || reader->begin != reader->end ||
        reader->in_tail || reader->failure.fault != read_fault::none)
        return 0;
    const std::size_t n = compact_source_rows(reader->source.compact, rows, count);
    reader->line += n;
    reader->rows += n;
    reader->rows_as_numbers += n;
    return n;
}

read_status csv_reader_next(csv_reader* reader, csv_row* row) {
    if (reader->failure.fault != read_fault::none) return read_status::failed;
    read_status status = read_status::row;
    if (!reader->header_done) status = take_header(reader);
    if (status == read_status::row && csv_reader_take_rows(reader, row, 1) == 1) return status;
    if (status == read_status::row) status = next_row(reader, row);
    if (status == read_status::failed) blame_damaged_stream(reader);
    return status;
}

std::uint64_t csv_reader_bytes(const csv_reader* reader) {
    return reader->bytes + (reader->source.compact ? reader->source.compact->number_bytes : 0);
}

void csv_reader_close(csv_reader* reader) {
    byte_source_close(&reader->source);
    std::free(reader->owned);
    reader->owned = nullptr;
    reader->buffer = nullptr;
}

void describe_read_failure(const read_failure& failure, std::uint64_t rows_before, char* out,
                           std::size_t out_size) {
    char detail[160];
    switch (failure.fault) {
        case read_fault::none:
            std::snprintf(out, out_size, "no failure");
            return;
        case read_fault::io_error:
            std::snprintf(out, out_size, "line %" PRIu64 ": cannot read: %s", failure.line,
                          std::strerror(failure.err));
            return;
        case read_fault::empty_file:
            std::snprintf(out, out_size, "line 1: the file is empty, it has no header line");
            return;
        case read_fault::header_cut_short:
            std::snprintf(out, out_size, "line 1: the file ends inside the header line");
            return;
        case read_fault::bad_header:
            std::snprintf(out, out_size, "line 1: wrong header \"%s\", expected \"%.*s\"",
                          failure.excerpt, static_cast<int>(data_file_header_size - 1),
                          data_file_header);
            return;
        case read_fault::binary_data:
            std::snprintf(out, out_size, "line 1: binary data, not a data file");
            return;
        case read_fault::bad_row:
            describe_row_problem(failure.problem, detail, sizeof detail);
            std::snprintf(out, out_size, "line %" PRIu64 ": %s", failure.line, detail);
            return;
        case read_fault::line_too_long:
            std::snprintf(out, out_size, "line %" PRIu64 ": longer than %zu bytes, no row is",
                          failure.line, max_row_size);
            return;
        case read_fault::cut_short:
        case read_fault::compressed_cut_short:
            std::snprintf(out, out_size, "line %" PRIu64 ": %s; %" PRIu64 " whole row%s before it",
                          failure.line,
                          failure.fault == read_fault::cut_short
                              ? "last line cut short, it has no line end"
                              : "compressed data cut short",
                          rows_before, rows_before == 1 ? "" : "s");
            return;
        case read_fault::compressed_corrupt:
            std::snprintf(out, out_size, "line %" PRIu64 ": compressed data corrupt (%s)",
                          failure.line, failure.excerpt);
            return;
        case read_fault::compact_cut_short:
            std::snprintf(out, out_size,
                          "line %" PRIu64 ": compact file %s; %" PRIu64 " whole row%s before it",
                          failure.line, compact_status_text(compact_status::cut_short), rows_before,
                          rows_before == 1 ? "" : "s");
            return;
        case read_fault::compact_damaged: {
            const auto status = static_cast<compact_status>(failure.err);
            std::snprintf(out, out_size, "line %" PRIu64 ": %s%s", failure.line,
                          status == compact_status::unsupported_version ? "" : "compact file ",
                          compact_status_text(status));
            return;
        }
        case read_fault::compressed_window:
            std::snprintf(out, out_size,
                          "line %" PRIu64
                          ": compressed with a window over %d MiB, more memory than is taken "
                          "here; decompress it with zstd -d first",
                          failure.line, 1 << (max_window_log - 20));
            return;
    }
    std::snprintf(out, out_size, "unknown failure");
}
