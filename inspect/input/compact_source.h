// A compact file (acc_compact(5)) as the reader takes it, one frame in
// memory at a time: the rows its columns hold straight from their integers,
// with no text made, and everything else (the header line, foreign rows, a
// tail) as the text it is, for the same checks as in a data file.
#ifndef ACC_INSPECT_COMPACT_SOURCE_H
#define ACC_INSPECT_COMPACT_SOURCE_H

#include "compact_format.h"
#include "csv_reader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The longest row the columns give: four values within 2^50 millionths.
constexpr std::size_t compact_row_text_size = 4 * (1 + 10 + 1 + 6) + 4;

struct compact_source {
    compact_reader reader;
    compact_status status;    // the fault that ended the reading, kept for every later call
    int read_errno;           // with compact_status::read_failed
    bool frame_ready;         // a frame is decoded and not yet all taken
    std::size_t row;          // the next of its rows
    std::size_t rows_to;      // where its next piece stands: the rows before it
    std::size_t piece;        // its next piece
    std::size_t piece_taken;  // bytes of that piece already taken
    std::vector<unsigned char> row_size;  // of each row's text
    char text[compact_row_text_size];     // a row as text, when text is what is asked for
    std::size_t text_size;
    std::size_t text_taken;
    std::uint64_t stored_bytes;  // read from the file
};

// Reads the compact file at `fd`, which stays the caller's. Returns nullptr
// without the memory; a file header it refuses is the first read's fault.
compact_source* compact_source_open(int fd);
void compact_source_close(compact_source* source);

// What comes next: a row the columns hold (taken into `row`, its text's size
// added to `*bytes`), or text, the end, or a fault for compact_source_text
// to return.
enum class compact_next { row, text, end, failed };
compact_next compact_source_row(compact_source* source, csv_row* row, std::uint64_t* bytes);

// The next bytes of the recording's text, up to `size`: a piece's, or a
// row's as "%.6f" writes it when text is asked for where a row comes (a line
// split between frames, a file without its header line). `*got` 0 is the
// end. Anything but compact_status::ok stays the answer.
compact_status compact_source_text(compact_source* source, char* out, std::size_t size,
                                   std::size_t* got);

// A value of the columns as a double: the one parse_row gives for its "%.6f"
// text, |millionths| and 10^6 being exact in a double and the division
// correctly rounded.
inline double compact_value(std::int64_t millionths) {
    return static_cast<double>(millionths) / 1e6;
}

#endif
