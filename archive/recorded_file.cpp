#include "recorded_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include "compact_format.h"
#include "data_format.h"
#include "file_io.h"
#include "recording_lock.h"

int open_data_file(int dir_fd, const char* name, data_state* state, int* fd) {
    *fd = -1;
    *state = data_state::not_recording;
    struct stat status {};
    if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    // Not yet holding its header, a file is no recording, or one that a
    // recorder has only just created: it is not even locked for a look.
    if (!S_ISREG(status.st_mode) || status.st_size < static_cast<off_t>(data_file_header_size))
        return 0;
    int opened = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) return errno;
    if (int error = lock_unless_recorded(opened); error != 0) {
        close(opened);
        if (error != EWOULDBLOCK) return error;
        *state = data_state::being_recorded;
        return 0;
    }
    char header[data_file_header_size];
    if (fstat(opened, &status) != 0 || !S_ISREG(status.st_mode) ||
        read_at(opened, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, data_file_header, sizeof header) != 0) {
        close(opened);
        return 0;
    }
    *state = data_state::finished;
    *fd = opened;
    return 0;
}

namespace {

// A compact file whose first frame holds and starts with the header.
bool compact_starts_with_header(compact_reader* reader) {
    int read_errno = 0;
    bool at_end = false;
    const compact_frame& frame = reader->codec.frame;
    return compact_reader_next(reader, &at_end, &read_errno) == compact_status::ok && !at_end &&
           !frame.piece_row.empty() && frame.piece_row[0] == 0 &&
           frame.piece_bytes.compare(0, data_file_header_size, data_file_header) == 0;
}

}  // namespace

bool compressed_starts_with_header(int fd) {
    compact_reader reader;
    int read_errno = 0;
    const compact_status opened = compact_reader_open(&reader, fd, &read_errno);
    const bool compact_header = opened == compact_status::ok && compact_starts_with_header(&reader);
    compact_reader_release(&reader);
    if (opened != compact_status::not_compact) return compact_header;
    // The header comes out of the first block, which may take up to about
    // 128 KiB of input to complete.
    constexpr std::size_t chunk = std::size_t{16} * 1024;
    constexpr off_t most = off_t{256} * 1024;
    char packed[chunk];
    char plain[data_file_header_size];
    ZSTD_DCtx* unpacker = ZSTD_createDCtx();
    ZSTD_outBuffer out{plain, sizeof plain, 0};
    for (off_t offset = 0; unpacker && out.pos < out.size && offset < most;) {
        ssize_t got = read_at(fd, packed, sizeof packed, offset);
        if (got <= 0) break;
        offset += got;
        ZSTD_inBuffer in{packed, static_cast<std::size_t>(got), 0};
        while (in.pos < in.size && out.pos < out.size) {
            if (ZSTD_isError(ZSTD_decompressStream(unpacker, &out, &in))) {
                offset = most;  // not a compressed stream
                break;
            }
        }
    }
    ZSTD_freeDCtx(unpacker);
    return out.pos == out.size && std::memcmp(plain, data_file_header, sizeof plain) == 0;
}
