// Compressing one finished recording so that a power cut at any moment
// leaves either the original or a verified, complete compressed file.
//
// Two forms: the compact form (acc_compact(5)), the default, and zstd of
// the text. The compressed data goes to a hidden temporary name in the same directory,
// is forced to storage and read back from it, decompressed and compared with
// the original byte for byte; only then is it renamed to its final name, the
// directory forced to storage, the original removed and the directory forced
// again. The compressed file is a run of independent frames of at most
// compressed_frame_content bytes each, one valid .zst file all the same;
// the compact form is made of self-contained frames too.
// Memory stays bounded: a frame's worth of buffers and the library's
// contexts, whatever the file's size. Nothing here prints or exits.
#ifndef ACC_COMPRESS_FILE_H
#define ACC_COMPRESS_FILE_H

#include <csignal>
#include <cstdint>
#include <string>

// The level the archiver compresses at unless told otherwise: the best
// ratio that stays within about a minute of CPU per hour of recording (see
// bench/archive_bench.cpp).
constexpr int default_level = 9;
constexpr int lowest_level = 1;
constexpr int highest_level = 19;

enum class archive_format { compact, zst };

struct compress_result {
    std::uint64_t original_bytes;
    std::uint64_t compressed_bytes;
    // On failure, the step that failed, for the message: "open", "read",
    // "compress", "write", "sync", "verify", "rename", "remove the original".
    const char* failed_step;
};

// Compresses `<stem>.csv` into `<stem>.csv.acz` (compact) or
// `<stem>.csv.zst` at `level` as above; the compressed file gets the
// original's mode, owner and times. Gives up with EINTR as soon as *stop is
// set. Returns 0 or an errno value (EBADMSG: the compressed file did not
// decompress to the original); on failure before the rename, the temporary
// is removed and the original stays as it was.
int compress_recording(int dir_fd, const std::string& stem, archive_format format, int level,
                       const volatile std::sig_atomic_t* stop, compress_result* result);

// What --restore meets on the way; nothing printed here.
struct restore_result {
    std::uint64_t bytes_written;
    int damaged_frames;        // compact frames skipped as damaged
    const char* first_damage;  // compact_status_text of the first, else nullptr
    const char* failed_step;   // "read", "write", "decompress", or nullptr
};

// Writes the recording that the archived file at `in_fd` holds (compact,
// zstd or gzip) to `out_fd`, byte for byte. A damaged compact frame is left
// out and counted, the rest written. Returns 0 or an errno value (EBADMSG:
// damaged or not an archived recording).
int restore_recording(int in_fd, int out_fd, restore_result* result);

#endif
