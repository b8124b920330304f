// Reads a data file row by row in one pass, in constant memory, and checks
// every byte against the exact format the recorder writes.
//
// Nothing here prints: a failure is described by a read_failure that the
// caller turns into words with describe_read_failure.
#ifndef ACC_INSPECT_CSV_READER_H
#define ACC_INSPECT_CSV_READER_H

#include "byte_source.h"

#include <cstddef>
#include <cstdint>

struct csv_row {
    double time_s;
    double volt;
    double accel_g;
    double accel_ms2;
};

enum class row_fault {
    none,
    empty_line,
    carriage_return,  // a '\r' before the '\n'
    field_count,      // not four fields; `fields` holds how many
    empty_field,
    plus_sign,
    blank,  // space or tab
    exponent,
    no_integer_digits,  // ".5"
    leading_zero,       // "01.5"
    no_decimal_point,
    decimals,  // not six decimals; `decimals` holds how many
    bad_character,
    integer_too_long,  // more digits than any double printed with %.6f has
    out_of_range,
};

struct row_problem {
    row_fault fault;
    int field;           // 1..4, 0 when it concerns the whole line
    std::size_t column;  // 1-based byte in the line, 0 when none applies
    int fields;          // with row_fault::field_count
    int decimals;        // with row_fault::decimals
    unsigned char byte;  // with row_fault::bad_character
};

// Parses one line without its '\n'. Returns true and fills `row` when the
// line is a valid row; otherwise fills `problem` with the first fault found
// from the left. Reads exactly `size` bytes, never more.
bool parse_row(const char* line, std::size_t size, csv_row* row, row_problem* problem);

enum class read_fault {
    none,
    io_error,  // open or read failed; `err` holds the errno
    empty_file,
    header_cut_short,  // the file ends inside the header
    bad_header,
    binary_data,  // line 1 holds bytes no text file has
    bad_row,
    line_too_long,
    cut_short,             // the last line has no '\n'
    compressed_cut_short,  // the compressed stream ends inside a frame
    compressed_corrupt,    // `excerpt` holds the decompressor's words
    compressed_window,     // a frame needs more memory than is taken
    compact_cut_short,     // a compact file ends inside a frame
    compact_damaged,       // a compact frame fails its checks; `err` holds its compact_status
};

struct read_failure {
    read_fault fault;
    int err;
    std::uint64_t line;   // 1-based; the header is line 1
    row_problem problem;  // with read_fault::bad_row
    char excerpt[48];     // with bad_header: the start of line 1; with compressed_corrupt: why
};

// `more`: only for a reader that is `growing`, at the end of what has been
// written so far; call again once the file has grown.
enum class read_status { row, end, failed, more };

// What a recording interrupted by a power cut or a copy cut off leaves after
// its last whole row: a row cut short, NUL bytes where storage kept the
// file's size but not its data, or both, in that order. Left out, counted.
struct interrupted_tail {
    std::uint64_t row_bytes;  // of the row cut short
    std::uint64_t nul_bytes;
};

inline std::uint64_t tail_bytes(const interrupted_tail& tail) {
    return tail.row_bytes + tail.nul_bytes;
}

struct csv_reader {
    byte_source source;
    char* owned;   // the reader's own buffer; nullptr when it reads the pieces in place
    char* buffer;  // the owned buffer, or where the piece being read begins
    std::size_t capacity;
    std::size_t begin;  // first unread byte
    std::size_t end;    // one past the last byte read
    bool at_eof;
    bool growing;  // set by the caller: the file's end is not yet its last
    // Set by the caller: the last file of its run, which may end in an
    // interrupted tail; elsewhere such bytes are a fault.
    bool last_of_run;
    bool header_done;
    bool in_tail;                   // past the last whole row, taking the tail's NUL bytes
    std::uint64_t line;             // number of the last line taken
    std::uint64_t rows;             // whole rows returned so far
    std::uint64_t rows_as_numbers;  // of them, taken from a compact file's columns
    std::uint64_t bytes;            // bytes of whole lines taken so far
    interrupted_tail tail;          // after `end`: the bytes left out, if any
    read_failure failure;
};

// Large reads keep the system calls few; any size works down to
// csv_reader_min_buffer.
constexpr std::size_t csv_reader_default_buffer = std::size_t{1} << 20;
extern const std::size_t csv_reader_min_buffer;

// Opens `path` for reading, decompressing it when its first bytes say it is
// zstd or gzip, decoding it when they say it is the compact form. Returns 0 or an errno value; on
// failure nothing is left to close.
int csv_reader_open(csv_reader* reader, const char* path, std::size_t buffer_size);

// Reads from an open descriptor that stays the caller's. Returns 0 or ENOMEM.
int csv_reader_attach(csv_reader* reader, int fd, std::size_t buffer_size);

// The next row. read_status::failed leaves the reason in reader->failure;
// after `end` or `failed` every further call returns the same. With
// `last_of_run`, and once the file no longer grows, `end` may come after an
// interrupted tail, counted in reader->tail.
read_status csv_reader_next(csv_reader* reader, csv_row* row);

// Where rows a compact file's columns hold come next, up to `count` of
// them at once, without their text: its six decimals, separators and four
// fields hold by construction. Returns how many; 0 where csv_reader_next
// must go on.
std::size_t csv_reader_take_rows(csv_reader* reader, csv_row* rows, std::size_t count);

// The bytes of the whole lines taken, once the file is read to its end (of
// a compact file, the rows of a frame count once it is all taken).
std::uint64_t csv_reader_bytes(const csv_reader* reader);

void csv_reader_close(csv_reader* reader);

// One line of text for a failure, without the file name, e.g.
// "line 7: field 2 (Volt(V)): 5 decimals, expected 6".
void describe_read_failure(const read_failure& failure, std::uint64_t rows_before, char* out,
                           std::size_t out_size);

#endif
