#include "compress_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include "recorded_file.h"
#include "recording_files.h"

namespace {

// Everything one compression holds, each with its "not acquired" value.
struct compression {
    int in_fd = -1;           // the original, with a shared lock
    int temp_fd = -1;         // the temporary, then the final file
    bool temp_named = false;  // the temporary's name exists and is ours to remove
    ZSTD_CCtx* packer = nullptr;
    ZSTD_DCtx* unpacker = nullptr;
    char* in_buffer = nullptr;
    char* out_buffer = nullptr;
    char* check_buffer = nullptr;
};

// In reverse order of acquisition; the temporary's name goes first, so that
// nothing partial is left behind.
void release(compression* c, int dir_fd, const std::string& temp_name) {
    if (c->temp_named) unlinkat(dir_fd, temp_name.c_str(), 0);
    std::free(c->check_buffer);
    std::free(c->out_buffer);
    std::free(c->in_buffer);
    ZSTD_freeDCtx(c->unpacker);
    ZSTD_freeCCtx(c->packer);
    if (c->temp_fd >= 0) close(c->temp_fd);
    if (c->in_fd >= 0) {
        // What was read for this file is of no further use in memory.
        posix_fadvise(c->in_fd, 0, 0, POSIX_FADV_DONTNEED);
        close(c->in_fd);
    }
}

int write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

int fail(compress_result* result, const char* step, int error) {
    result->failed_step = step;
    return error != 0 ? error : EIO;
}

// The original through the compressor into the temporary, frame by frame.
int compress_stream(compression* c, int level, std::uint64_t size,
                    const volatile std::sig_atomic_t* stop, compress_result* result) {
    const std::size_t out_size = ZSTD_compressBound(compressed_frame_content);
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c->packer, ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c->packer, ZSTD_c_checksumFlag, 1)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c->packer, ZSTD_c_contentSizeFlag, 1)))
        return fail(result, "compress", EINVAL);
    std::uint64_t read_total = 0;
    for (bool last = false; !last;) {
        if (*stop) return fail(result, "compress", EINTR);
        ssize_t got = read_at(c->in_fd, c->in_buffer, compressed_frame_content,
                              static_cast<off_t>(read_total));
        if (got < 0) return fail(result, "read", errno);
        read_total += static_cast<std::uint64_t>(got);
        last = static_cast<std::size_t>(got) < compressed_frame_content;
        if (got == 0 && read_total > 0) break;
        const std::size_t packed = ZSTD_compress2(c->packer, c->out_buffer, out_size, c->in_buffer,
                                                  static_cast<std::size_t>(got));
        if (ZSTD_isError(packed)) return fail(result, "compress", EIO);
        int error = write_all(c->temp_fd, c->out_buffer, packed);
        if (error != 0) return fail(result, "write", error);
        result->compressed_bytes += packed;
    }
    // A file that grew or shrank while read is not the recording it was.
    if (read_total != size) return fail(result, "compress", EIO);
    result->original_bytes = read_total;
    return 0;
}

// The temporary, as read back from storage, decompressed and compared with
// the original.
int verify_stream(compression* c, const volatile std::sig_atomic_t* stop, compress_result* result) {
    const std::size_t in_size = ZSTD_DStreamInSize();
    const std::size_t out_size = ZSTD_DStreamOutSize();
    std::uint64_t packed_offset = 0;
    std::uint64_t plain_offset = 0;
    std::size_t frame_left = 1;
    while (packed_offset < result->compressed_bytes) {
        if (*stop) return fail(result, "verify", EINTR);
        ssize_t got = read_at(c->temp_fd, c->in_buffer, in_size, static_cast<off_t>(packed_offset));
        if (got < 0) return fail(result, "verify", errno);
        if (got == 0) return fail(result, "verify", EBADMSG);
        packed_offset += static_cast<std::uint64_t>(got);
        ZSTD_inBuffer in{c->in_buffer, static_cast<std::size_t>(got), 0};
        for (;;) {
            // A frame ends; another may follow it.
            if (frame_left == 0 && in.pos == in.size) break;
            ZSTD_outBuffer out{c->out_buffer, out_size, 0};
            frame_left = ZSTD_decompressStream(c->unpacker, &out, &in);
            if (ZSTD_isError(frame_left)) return fail(result, "verify", EBADMSG);
            ssize_t plain =
                read_at(c->in_fd, c->check_buffer, out.pos, static_cast<off_t>(plain_offset));
            if (plain < 0) return fail(result, "verify", errno);
            if (static_cast<std::size_t>(plain) != out.pos ||
                std::memcmp(c->out_buffer, c->check_buffer, out.pos) != 0)
                return fail(result, "verify", EBADMSG);
            plain_offset += out.pos;
            // All input taken and nothing more held back: the next chunk.
            if (in.pos == in.size && out.pos < out.size) break;
        }
    }
    if (frame_left != 0 || plain_offset != result->original_bytes ||
        packed_offset != result->compressed_bytes)
        return fail(result, "verify", EBADMSG);
    return 0;
}

int compress_steps(compression* c, int dir_fd, const std::string& stem, int level,
                   const volatile std::sig_atomic_t* stop, compress_result* result) {
    const std::string name = stem + data_file_name_suffix;
    const std::string final_name = name + compressed_zst_suffix;
    const std::string temp_name = temporary_prefix + name + temporary_suffix;
    data_state state = data_state::absent;
    int error = open_data_file(dir_fd, name.c_str(), &state, &c->in_fd);
    if (error != 0) return fail(result, "open", error);
    if (state != data_state::finished) return fail(result, "open", EBUSY);
    struct stat original {};
    if (fstat(c->in_fd, &original) != 0) return fail(result, "open", errno);
    posix_fadvise(c->in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    c->temp_fd =
        openat(dir_fd, temp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (c->temp_fd < 0) return fail(result, "write", errno);
    c->temp_named = true;
    // The same access as the original, whoever runs this.
    if ((original.st_uid != geteuid() || original.st_gid != getegid()) &&
        fchown(c->temp_fd, original.st_uid, original.st_gid) != 0)
        return fail(result, "write", errno);
    if (fchmod(c->temp_fd, original.st_mode & 07777) != 0) return fail(result, "write", errno);

    c->packer = ZSTD_createCCtx();
    c->unpacker = ZSTD_createDCtx();
    c->in_buffer =
        static_cast<char*>(std::malloc(std::max(compressed_frame_content, ZSTD_DStreamInSize())));
    c->out_buffer = static_cast<char*>(
        std::malloc(std::max(ZSTD_compressBound(compressed_frame_content), ZSTD_DStreamOutSize())));
    c->check_buffer = static_cast<char*>(std::malloc(ZSTD_DStreamOutSize()));
    if (!c->packer || !c->unpacker || !c->in_buffer || !c->out_buffer || !c->check_buffer)
        return fail(result, "compress", ENOMEM);

    error = compress_stream(c, level, static_cast<std::uint64_t>(original.st_size), stop, result);
    if (error != 0) return error;
    // The compressed file ends when the recording did, for --keep-days.
    const timespec times[2] = {original.st_atim, original.st_mtim};
    if (futimens(c->temp_fd, times) != 0) return fail(result, "write", errno);
    if (fsync(c->temp_fd) != 0) return fail(result, "sync", errno);
    // Read back from storage, not from the page cache.
    posix_fadvise(c->temp_fd, 0, 0, POSIX_FADV_DONTNEED);
    error = verify_stream(c, stop, result);
    if (error != 0) return error;
    if (*stop) return fail(result, "rename", EINTR);

    if (renameat(dir_fd, temp_name.c_str(), dir_fd, final_name.c_str()) != 0)
        return fail(result, "rename", errno);
    c->temp_named = false;
    error = sync_directory_fd(dir_fd);
    if (error != 0) return fail(result, "sync", error);
    if (unlinkat(dir_fd, name.c_str(), 0) != 0) return fail(result, "remove the original", errno);
    error = sync_directory_fd(dir_fd);
    if (error != 0) return fail(result, "sync", error);
    return 0;
}

}  // namespace

int compress_recording(int dir_fd, const std::string& stem, int level,
                       const volatile std::sig_atomic_t* stop, compress_result* result) {
    *result = compress_result{0, 0, nullptr};
    compression c;
    int error = compress_steps(&c, dir_fd, stem, level, stop, result);
    release(&c, dir_fd, temporary_prefix + stem + data_file_name_suffix + temporary_suffix);
    return error;
}
