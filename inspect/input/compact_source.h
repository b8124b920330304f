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
    char text[compact_row_text_size];  // a row as text, when text is what is asked for
    std::size_t text_size;
    std::size_t text_taken;
    std::uint64_t frame_number_bytes;  // the text of the frame's rows not made text here
    std::uint64_t number_bytes;        // the same, of the frames finished
    std::uint64_t stored_bytes;        // read from the file
};

// Reads the compact file at `fd`, which stays the caller's. Returns nullptr
// without the memory; a file header it refuses is the first read's fault.
compact_source* compact_source_open(int fd);
void compact_source_close(compact_source* source);

// Takes up to `count` rows into `rows` when rows the columns hold come
// next; 0 when text comes next, or the end, or a fault for
// compact_source_text to return.
std::size_t compact_source_rows(compact_source* source, csv_row* rows, std::size_t count);

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
