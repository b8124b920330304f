// The bytes of a data file as the recorder wrote them, from the file itself
// or from its zstd or gzip compression, read in one pass with the
// decompressor's state and one input buffer. A compressed file is
// decompressed on a thread of its own, a piece ahead of the rows' check,
// and read in place from its two pieces. A compact file gives most of its
// rows as numbers (compact_source.h) and only the rest as bytes.
#ifndef ACC_INSPECT_BYTE_SOURCE_H
#define ACC_INSPECT_BYTE_SOURCE_H

#include <cstddef>
#include <cstdint>

enum class source_kind { plain, zstd, gzip, compact };

// The largest window a streamed zstd frame may need, 8 MiB: that of the zstd
// command's levels 1 to 19; the archiver's frames need none.
constexpr int max_window_log = 23;

enum class source_error {
    none,
    io,         // read failed; the errno is returned beside it
    cut_short,  // the compressed stream ends inside a frame
    corrupt,    // the decompressor refused the data
    window,     // a frame needs a window over max_window_log, more memory than is taken
    no_memory,
    compact_fault,  // a compact file's fault; its compact_status is returned beside it
};

// The decompressor and its thread: nullptr for a plain file.
struct byte_source_state;
struct compact_source;

struct byte_source {
    source_kind kind;
    int fd;
    bool owns_fd;
    std::uint64_t stored_bytes;  // bytes read from the file
    const char* error_name;      // with source_error::corrupt: the decompressor's words
    bool threaded;               // decompressing on a thread: false until started, or once joined
    byte_source_state* state;
    compact_source* compact;  // nullptr unless a compact file
};

// What the first bytes say the file is; plain unless they are zstd's,
// gzip's or the compact form's magic number.
source_kind source_kind_of(const unsigned char* bytes, std::size_t size);

// Reads from `fd`, which stays the caller's unless `owns_fd`; the kind is
// taken from the first bytes of the file. Returns 0 or an errno value; on
// failure nothing is left to release.
int byte_source_attach(byte_source* source, int fd, bool owns_fd);

// Without the decompressing thread (`threaded` false): up to `size` bytes
// of data into `out`; `*got` 0 means the end.
source_error byte_source_read(byte_source* source, char* out, std::size_t size, std::size_t* got,
                              int* err);

// With the decompressing thread: the next piece, read where it was
// decompressed, with the `keep` bytes at `kept` (the start of a line, at most
// max_row_size, from the piece before or from nowhere else) copied in front
// of it; `*data` and `*got` are then the kept and the new bytes together,
// and the piece before goes back to the decompressor. `*got` 0 means the
// end; then, as on failure, the piece before stays as it was.
source_error byte_source_next_piece(byte_source* source, const char* kept, std::size_t keep,
                                    char** data, std::size_t* got, int* err);

// Bytes read from the file so far; ends the decompressing thread first.
std::uint64_t byte_source_stored(byte_source* source);

void byte_source_close(byte_source* source);

#endif
