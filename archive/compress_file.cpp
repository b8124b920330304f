#include "compress_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>
#include <zstd.h>

#include "compact_format.h"
#include "file_io.h"

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
    compact_codec coder;
    compact_reader checker;
};

// In reverse order of acquisition; the temporary's name goes first, so that
// nothing partial is left behind.
void release(compression* c, int dir_fd, const std::string& temp_name) {
    if (c->temp_named) unlinkat(dir_fd, temp_name.c_str(), 0);
    std::free(c->check_buffer);
    std::free(c->out_buffer);
    std::free(c->in_buffer);
    compact_reader_release(&c->checker);
    compact_codec_release(&c->coder);
    ZSTD_freeDCtx(c->unpacker);
    ZSTD_freeCCtx(c->packer);
    if (c->temp_fd >= 0) close(c->temp_fd);
    if (c->in_fd >= 0) {
        // What was read for this file is of no further use in memory.
        posix_fadvise(c->in_fd, 0, 0, POSIX_FADV_DONTNEED);
        close(c->in_fd);
    }
}

// The step that failed, into a compression's or a restore's result.
template <typename result_type>
int fail(result_type* result, const char* step, int error) {
    result->failed_step = step;
    return error != 0 ? error : EIO;
}

// The `n` bytes at `data` against the original's at `offset`.
int compare_with_original(compression* c, const char* data, std::size_t n, std::uint64_t offset,
                          compress_result* result) {
    const ssize_t plain = read_at(c->in_fd, c->check_buffer, n, static_cast<off_t>(offset));
    if (plain < 0) return fail(result, "verify", errno);
    if (static_cast<std::size_t>(plain) != n || std::memcmp(data, c->check_buffer, n) != 0)
        return fail(result, "verify", EBADMSG);
    return 0;
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
            const int error =
                compare_with_original(c, c->out_buffer, out.pos, plain_offset, result);
            if (error != 0) return error;
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

// The original coded frame by frame into the temporary: each frame ends on
// a line end where one is within reach.
int compact_stream(compression* c, std::uint64_t size, const volatile std::sig_atomic_t* stop,
                   compress_result* result) {
    std::vector<unsigned char> out(compact_file_header_size);
    compact_write_file_header(out.data());
    std::uint64_t read_total = 0;
    std::size_t held = 0;
    bool at_end = false;
    for (;;) {
        if (*stop) return fail(result, "compress", EINTR);
        if (!at_end) {
            ssize_t got = read_at(c->in_fd, c->in_buffer + held, compact_frame_content - held,
                                  static_cast<off_t>(read_total));
            if (got < 0) return fail(result, "read", errno);
            read_total += static_cast<std::uint64_t>(got);
            held += static_cast<std::size_t>(got);
            at_end = held < compact_frame_content;
        }
        if (held == 0) break;
        const std::size_t take = compact_frame_cut(c->in_buffer, held, at_end);
        if (compact_encode_frame(&c->coder, c->in_buffer, take, &out) != compact_status::ok)
            return fail(result, "compress", ENOMEM);
        int error = write_all(c->temp_fd, out.data(), out.size());
        if (error != 0) return fail(result, "write", error);
        result->compressed_bytes += out.size();
        out.clear();
        std::memmove(c->in_buffer, c->in_buffer + take, held - take);
        held -= take;
    }
    if (read_total != size) return fail(result, "compress", EIO);
    result->original_bytes = read_total;
    return 0;
}

// The compact temporary, as read back from storage, decoded and compared
// with the original frame by frame.
int verify_compact(compression* c, const volatile std::sig_atomic_t* stop,
                   compress_result* result) {
    int read_errno = 0;
    if (compact_reader_open(&c->checker, c->temp_fd, &read_errno) != compact_status::ok)
        return fail(result, "verify", read_errno != 0 ? read_errno : EBADMSG);
    std::vector<char> text;
    std::uint64_t plain_offset = 0;
    for (;;) {
        if (*stop) return fail(result, "verify", EINTR);
        bool at_end = false;
        const compact_status status = compact_reader_next(&c->checker, &at_end, &read_errno);
        if (status == compact_status::read_failed) return fail(result, "verify", read_errno);
        if (status != compact_status::ok) return fail(result, "verify", EBADMSG);
        if (at_end) break;
        text.resize(c->checker.header.content_size);
        if (compact_frame_text(c->checker.codec.frame, text.data(), text.size()) !=
            compact_status::ok)
            return fail(result, "verify", EBADMSG);
        for (std::size_t done = 0; done < text.size(); done += compressed_frame_content) {
            const std::size_t n = std::min(compressed_frame_content, text.size() - done);
            const int error =
                compare_with_original(c, text.data() + done, n, plain_offset + done, result);
            if (error != 0) return error;
        }
        plain_offset += text.size();
    }
    if (plain_offset != result->original_bytes || c->checker.offset != result->compressed_bytes)
        return fail(result, "verify", EBADMSG);
    return 0;
}

int compress_steps(compression* c, int dir_fd, const std::string& stem, archive_format format,
                   int level, const volatile std::sig_atomic_t* stop, compress_result* result) {
    const bool compact = format == archive_format::compact;
    const std::string name = stem + data_file_name_suffix;
    const std::string final_name = name + (compact ? compact_suffix : compressed_zst_suffix);
    const std::string temp_name =
        temporary_prefix + name + (compact ? compact_temporary_suffix : temporary_suffix);
    data_state state = data_state::absent;
    int error = open_data_file(dir_fd, name.c_str(), &state, &c->in_fd);
    if (error != 0) return fail(result, "open", error);
    if (state != data_state::finished) return fail(result, "open", EBUSY);
    struct stat original {};
    if (fstat(c->in_fd, &original) != 0) return fail(result, "open", errno);
    posix_fadvise(c->in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    error = create_temporary(dir_fd, temp_name, original, &c->temp_fd);
    c->temp_named = c->temp_fd >= 0;
    if (error != 0) return fail(result, "write", error);

    c->packer = ZSTD_createCCtx();
    c->unpacker = ZSTD_createDCtx();
    c->in_buffer =
        static_cast<char*>(std::malloc(std::max(compressed_frame_content, ZSTD_DStreamInSize())));
    c->out_buffer = static_cast<char*>(
        std::malloc(std::max(ZSTD_compressBound(compressed_frame_content), ZSTD_DStreamOutSize())));
    c->check_buffer =
        static_cast<char*>(std::malloc(std::max(ZSTD_DStreamOutSize(), compressed_frame_content)));
    if (!c->packer || !c->unpacker || !c->in_buffer || !c->out_buffer || !c->check_buffer)
        return fail(result, "compress", ENOMEM);

    const auto size = static_cast<std::uint64_t>(original.st_size);
    error = compact ? compact_stream(c, size, stop, result)
                    : compress_stream(c, level, size, stop, result);
    if (error != 0) return error;
    // The compressed file ends when the recording did, for --keep-days.
    const timespec times[2] = {original.st_atim, original.st_mtim};
    if (futimens(c->temp_fd, times) != 0) return fail(result, "write", errno);
    if (fsync(c->temp_fd) != 0) return fail(result, "sync", errno);
    // Read back from storage, not from the page cache.
    posix_fadvise(c->temp_fd, 0, 0, POSIX_FADV_DONTNEED);
    error = compact ? verify_compact(c, stop, result) : verify_stream(c, stop, result);
    if (error != 0) return error;
    const char* step = nullptr;
    error = install_temporary(dir_fd, temp_name, final_name, stop, &c->temp_named, &step);
    if (error != 0) return fail(result, step, error);
    if (unlinkat(dir_fd, name.c_str(), 0) != 0) return fail(result, "remove the original", errno);
    error = sync_directory_fd(dir_fd);
    if (error != 0) return fail(result, "sync", error);
    return 0;
}

}  // namespace

int compress_recording(int dir_fd, const std::string& stem, archive_format format, int level,
                       const volatile std::sig_atomic_t* stop, compress_result* result) {
    *result = compress_result{0, 0, nullptr};
    compression c;
    int error = compress_steps(&c, dir_fd, stem, format, level, stop, result);
    const char* temp_suffix =
        format == archive_format::compact ? compact_temporary_suffix : temporary_suffix;
    release(&c, dir_fd, temporary_prefix + stem + data_file_name_suffix + temp_suffix);
    return error;
}

namespace {

// Everything one restore holds, each with its "not acquired" value.
struct restoring {
    compact_reader reader;
    ZSTD_DCtx* unpacker = nullptr;
    z_stream inflater{};
    bool inflater_ready = false;
    std::vector<char> in;
    std::vector<char> out;
};

void release(restoring* r) {
    if (r->inflater_ready) inflateEnd(&r->inflater);
    ZSTD_freeDCtx(r->unpacker);
    compact_reader_release(&r->reader);
}

int put(int out_fd, const char* data, std::size_t size, restore_result* result) {
    int error = write_all(out_fd, data, size);
    if (error != 0) return fail(result, "write", error);
    result->bytes_written += size;
    return 0;
}

int restore_compact(restoring* r, int out_fd, restore_result* result) {
    int read_errno = 0;
    for (;;) {
        bool at_end = false;
        compact_status status = compact_reader_next(&r->reader, &at_end, &read_errno);
        if (status == compact_status::read_failed) return fail(result, "read", read_errno);
        if (at_end) break;
        if (status == compact_status::ok) {
            r->out.resize(r->reader.header.content_size);
            status = compact_frame_text(r->reader.codec.frame, r->out.data(), r->out.size());
        }
        if (status != compact_status::ok) {
            if (result->damaged_frames++ == 0) result->first_damage = compact_status_text(status);
            continue;
        }
        int error = put(out_fd, r->out.data(), r->out.size(), result);
        if (error != 0) return error;
    }
    return result->damaged_frames > 0 ? EBADMSG : 0;
}

int restore_zstd(restoring* r, int in_fd, int out_fd, restore_result* result) {
    r->unpacker = ZSTD_createDCtx();
    if (!r->unpacker) return fail(result, "decompress", ENOMEM);
    r->in.resize(ZSTD_DStreamInSize());
    r->out.resize(ZSTD_DStreamOutSize());
    std::size_t frame_left = 0;
    for (off_t offset = 0;;) {
        ssize_t got = read_at(in_fd, r->in.data(), r->in.size(), offset);
        if (got < 0) return fail(result, "read", errno);
        if (got == 0) break;
        offset += got;
        ZSTD_inBuffer in{r->in.data(), static_cast<std::size_t>(got), 0};
        while (in.pos < in.size) {
            ZSTD_outBuffer out{r->out.data(), r->out.size(), 0};
            frame_left = ZSTD_decompressStream(r->unpacker, &out, &in);
            if (ZSTD_isError(frame_left)) return fail(result, "decompress", EBADMSG);
            int error = put(out_fd, r->out.data(), out.pos, result);
            if (error != 0) return error;
        }
    }
    return frame_left == 0 ? 0 : fail(result, "decompress", EBADMSG);
}

int restore_gzip(restoring* r, int in_fd, int out_fd, restore_result* result) {
    // 15 + 32: a gzip or zlib header, found by itself.
    if (inflateInit2(&r->inflater, 15 + 32) != Z_OK) return fail(result, "decompress", ENOMEM);
    r->inflater_ready = true;
    r->in.resize(std::size_t{64} * 1024);
    r->out.resize(std::size_t{256} * 1024);
    int status = Z_OK;
    for (off_t offset = 0;;) {
        ssize_t got = read_at(in_fd, r->in.data(), r->in.size(), offset);
        if (got < 0) return fail(result, "read", errno);
        if (got == 0) break;
        offset += got;
        r->inflater.next_in = reinterpret_cast<Bytef*>(r->in.data());
        r->inflater.avail_in = static_cast<uInt>(got);
        while (r->inflater.avail_in > 0) {
            // Members one after another make one file, as gzip -d reads them.
            if (status == Z_STREAM_END && inflateReset(&r->inflater) != Z_OK)
                return fail(result, "decompress", EBADMSG);
            r->inflater.next_out = reinterpret_cast<Bytef*>(r->out.data());
            r->inflater.avail_out = static_cast<uInt>(r->out.size());
            status = inflate(&r->inflater, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END)
                return fail(result, "decompress", EBADMSG);
            int error = put(out_fd, r->out.data(), r->out.size() - r->inflater.avail_out, result);
            if (error != 0) return error;
        }
    }
    return status == Z_STREAM_END ? 0 : fail(result, "decompress", EBADMSG);
}

}  // namespace

int restore_recording(int in_fd, int out_fd, restore_result* result) {
    *result = restore_result{0, 0, nullptr, nullptr};
    unsigned char magic[4] = {};
    if (read_at(in_fd, reinterpret_cast<char*>(magic), sizeof magic, 0) < 0)
        return fail(result, "read", errno);
    restoring r;
    int error = EBADMSG;
    int read_errno = 0;
    const compact_status opened = compact_reader_open(&r.reader, in_fd, &read_errno);
    if (opened == compact_status::ok) {
        error = restore_compact(&r, out_fd, result);
    } else if (opened != compact_status::not_compact) {
        result->first_damage = compact_status_text(opened);
        error = fail(result, "read", opened == compact_status::read_failed ? read_errno : EBADMSG);
    } else if (magic[0] == 0x28 && magic[1] == 0xb5 && magic[2] == 0x2f && magic[3] == 0xfd) {
        error = restore_zstd(&r, in_fd, out_fd, result);
    } else if (magic[0] == 0x1f && magic[1] == 0x8b) {
        error = restore_gzip(&r, in_fd, out_fd, result);
    } else {
        result->failed_step = "read";
    }
    release(&r);
    return error;
}
