// The compact form of a recording: the same bytes as the data file, coded
// as numbers instead of text (acc_compact(5) describes every byte).
//
// A file is an 8-byte file header and then self-contained frames. A frame
// covers up to compact_frame_content bytes of the recording: its rows as
// integer columns (time, volts, g, m/s^2 in millionths), each through a
// predictor found from the frame's own data, and verbatim whatever the
// model does not describe (the header line, foreign rows, values the
// columns cannot hold, a cut-short or NUL tail). Every frame tells its
// sizes and carries a checksum, so damage costs that frame alone and a
// reader needs one frame's memory.
//
// Nothing here prints or exits: functions return a compact_status.
#ifndef ACC_COMPACT_FORMAT_H
#define ACC_COMPACT_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr unsigned char compact_magic[4] = {0x89, 'A', 'C', 'Z'};
constexpr std::uint16_t compact_version = 1;
constexpr std::size_t compact_file_header_size = 8;
constexpr unsigned char compact_frame_sync[4] = {'A', 'C', 'Z', 'F'};
constexpr std::size_t compact_frame_header_size = 20;
// Recording bytes per frame at most.
constexpr std::size_t compact_frame_content = std::size_t{1} << 20;
// What the writer puts in a frame at most: about a second of recording at
// 10 kHz, so that a reader's decoded frame (32 bytes a row) takes less room
// than a plain file's read buffer. Readers take frames up to the limit above.
constexpr std::size_t compact_frame_written = std::size_t{384} << 10;
// A frame's coded size never exceeds this (checked when reading).
constexpr std::size_t compact_frame_payload_max = 2 * compact_frame_content + 4096;

enum class compact_status {
    ok,
    not_compact,          // the file does not start with the magic
    unsupported_version,  // a version this code does not read
    cut_short,            // the file ends inside a frame
    header_damaged,       // a frame header fails its checksum
    payload_damaged,      // a frame's content fails its checksum
    malformed,            // checksums hold, but the content does not decode
    no_memory,
    coder_failed,  // the entropy coder failed while writing
    read_failed,   // the file could not be read (an errno says why)
};

// A short phrase for a message: "frame damaged: its content fails its checksum".
const char* compact_status_text(compact_status status);

// One decoded frame: its model rows as integer millionths, and the verbatim
// pieces with the number of rows that come before each.
struct compact_frame {
    std::vector<std::int64_t> time_us;
    std::vector<std::int64_t> volt_uv;
    std::vector<std::int64_t> accel_ug;
    std::vector<std::int64_t> accel_ums2;
    std::vector<std::uint32_t> piece_row;    // model rows before piece k
    std::vector<std::uint32_t> piece_start;  // offsets into piece_bytes, one more than pieces
    std::string piece_bytes;
};

struct compact_frame_header {
    std::uint32_t content_size;
    std::uint32_t payload_size;
    std::uint32_t payload_crc;
};

// The encoder's and decoder's working memory, reused frame after frame.
// Zero-initialise, use, then release with compact_codec_release.
struct compact_codec {
    void* zstd_compress = nullptr;
    void* zstd_decompress = nullptr;
    compact_frame frame;
    std::vector<std::uint64_t> column;
    std::vector<std::uint64_t> column_b;
    std::vector<std::int64_t> alphabet;
    std::vector<std::uint32_t> rank;
    std::vector<unsigned char> scratch;
    std::vector<unsigned char> stream;
};
void compact_codec_release(compact_codec* codec);

// The 8 bytes every compact file starts with.
void compact_write_file_header(unsigned char out[compact_file_header_size]);
compact_status compact_check_file_header(const unsigned char* bytes, std::size_t size);

// How many of the `size` bytes at `text` the next frame takes: after the
// last line end within compact_frame_written bytes, or all of them when
// `at_end` and they fit, or compact_frame_written when no line ends there.
std::size_t compact_frame_cut(const char* text, std::size_t size, bool at_end);

// Codes `size` (1 to compact_frame_content) recording bytes as one frame,
// header included, appended to *out.
compact_status compact_encode_frame(compact_codec* codec, const char* text, std::size_t size,
                                    std::vector<unsigned char>* out);

// Reads a frame header (compact_frame_header_size bytes).
compact_status compact_read_frame_header(const unsigned char* bytes, compact_frame_header* header);

// Where, from `bytes`, the next frame header whose checksum holds starts;
// `size` when none does. For going on after a damaged frame header.
std::size_t compact_find_frame(const unsigned char* bytes, std::size_t size);

// Decodes a frame's payload (header.payload_size bytes) into codec->frame.
compact_status compact_decode_frame(compact_codec* codec, const compact_frame_header& header,
                                    const unsigned char* payload);

// The recording bytes of a decoded frame, written to `out`, which has room
// for `size` (the header's content_size); malformed unless exactly that many.
compact_status compact_frame_text(const compact_frame& frame, char* out, std::size_t size);

// Reads a compact file from a descriptor, frame by frame, in one frame's
// memory. Zero-initialise, then compact_reader_open; release with
// compact_reader_release.
struct compact_reader {
    int fd = -1;
    std::uint64_t offset = 0;  // of the next frame
    compact_frame_header header{};
    std::vector<unsigned char> payload;
    compact_codec codec;
};
void compact_reader_release(compact_reader* reader);

// Checks the file header of the file at `fd` (read from offset 0).
compact_status compact_reader_open(compact_reader* reader, int fd, int* read_errno);

// Decodes the next frame into reader->codec.frame (reader->header tells its
// sizes); *at_end when the file ended cleanly instead. A damaged frame gives
// its status and the reader moves past it (past a damaged header, to the
// next header that holds), so that the caller may go on with the rest.
compact_status compact_reader_next(compact_reader* reader, bool* at_end, int* read_errno);

// The "%.6f" text of `millionths` / 10^6 (no negative zero); returns its end.
char* compact_format_millionths(char* out, std::int64_t millionths);

#endif
