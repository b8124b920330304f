// The data file: its name, its header and its rows, byte for byte.
//
// Functions here never print and never exit: they return 0 or an errno value
// and leave the reporting to main.
#ifndef ACC_DATA_FILE_H
#define ACC_DATA_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

#include "data_file_name.h"
#include "data_format.h"
#include "fixed6_format.h"

// Room for the path and its terminating zero.
constexpr std::size_t csv_path_size = 512;

// Text of the rows of one block, reused for the whole run. Ordinary rows are
// under 48 bytes, so a block of 1000 goes to the file in one write; rows of
// huge values are handed over in several, and memory stays bounded.
constexpr std::size_t row_text_size = std::size_t{64} * 1024;
static_assert(row_text_size >= max_row_size, "room for the longest row");

// Creates the data file exclusively, never touching an existing file: tries
// `path`, then its numbered variants. On success `path` names the file
// created, which holds an exclusive flock until it is closed. On failure
// `path` is left as given and the errno is returned.
int create_data_file(char* path, std::size_t path_size, std::FILE** stream);

// With a file span: the first multiple of `span_s` seconds from local
// midnight (local time, clock changes included) after `start`. -1 when
// there is none (no span, a time localtime cannot take).
std::time_t next_file_start(std::time_t start, std::uint32_t span_s);

// One row, "%.6f,%.6f,%.6f,%.6f\n" with a decimal point whatever the locale.
// Writes at most max_row_size bytes, no terminating zero; returns the count.
std::size_t format_row(char* out, double time_s, double volt, double sensitivity_v_per_g);

// Writes the header and flushes it. Returns 0 or an errno value.
int write_header(std::FILE* stream);

// Writes the rows of one block (sample i at rel + i * dt), formatted in
// `row_text` (row_text_size bytes), and flushes them once. Adds the bytes
// handed to the stream to *bytes_written. Returns 0 or an errno value.
int write_block(std::FILE* stream, char* row_text, const double* volts, std::uint32_t count,
                double rel, double dt, double sensitivity_v_per_g, std::uint64_t* bytes_written);

// After a failed write: drops what the stream still buffers and cuts the
// file back to `good_size` bytes, so that it ends with a whole row.
int cut_back_data_file(std::FILE* stream, off_t good_size);

// Forces the file's data to storage. Returns 0 or an errno value.
int sync_data_file(std::FILE* stream);

// Closes the stream; returns 0 or the errno of a failed final write.
int close_data_file(std::FILE* stream);

#endif
