#include "byte_source.h"

#include "data_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>
#include <zstd_errors.h>

namespace {

constexpr unsigned char zstd_magic[] = {0x28, 0xb5, 0x2f, 0xfd};
constexpr unsigned char gzip_magic[] = {0x1f, 0x8b};

// Reads once more behind the unread compressed bytes, in chunks: the
// buffer holds a whole frame, but only as much of it is used as the frame
// takes.
int fill_input(byte_source* s) {
    if (s->input_begin > 0) {
        std::memmove(s->input, s->input + s->input_begin, s->input_end - s->input_begin);
        s->input_end -= s->input_begin;
        s->input_begin = 0;
    }
    const std::size_t room = std::min(s->input_capacity - s->input_end, std::size_t{1} << 16);
    for (;;) {
        ssize_t got = ::read(s->fd, s->input + s->input_end, room);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) s->input_eof = true;
        s->input_end += static_cast<std::size_t>(got);
        s->stored_bytes += static_cast<std::uint64_t>(got);
        return 0;
    }
}

source_error read_plain(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    for (;;) {
        ssize_t n = ::read(s->fd, out, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return source_error::io;
        }
        *got = static_cast<std::size_t>(n);
        s->stored_bytes += static_cast<std::uint64_t>(n);
        return source_error::none;
    }
}

constexpr std::size_t piece_size = compressed_frame_content;
// Room before each piece for the start of a line the previous one ended in.
constexpr std::size_t piece_lead = max_row_size;
constexpr std::size_t streamed_piece = std::size_t{1} << 18;

// Whether the input begins with a whole frame that tells its size and fits
// in a piece: then `*frame` is its compressed size and `*content` its
// decompressed size, else `*frame` is 0 and the frame is streamed. Reads
// more input as far as needed. Returns 0 or an errno value.
int whole_frame(byte_source* s, std::size_t* frame, std::size_t* content) {
    *frame = 0;
    for (;;) {
        const unsigned char* at = s->input + s->input_begin;
        const std::size_t available = s->input_end - s->input_begin;
        const std::size_t size = ZSTD_findFrameCompressedSize(at, available);
        if (!ZSTD_isError(size)) {
            const unsigned long long n = ZSTD_getFrameContentSize(at, available);
            if (n <= piece_size) {
                *frame = size;
                *content = static_cast<std::size_t>(n);
            }
            return 0;
        }
        const bool full = s->input_begin == 0 && s->input_end == s->input_capacity;
        if (ZSTD_getErrorCode(size) != ZSTD_error_srcSize_wrong || s->input_eof || full) return 0;
        const int err = fill_input(s);
        if (err != 0) return err;
    }
}

// Fills `out` as far as the stream goes, for few and large hand-overs; a
// frame may be followed by another, as a concatenation of .zst files is. A
// frame that tells its size is decompressed in one call straight into
// `out`; any other is streamed through the decompressor's window.
source_error read_zstd(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    ZSTD_outBuffer output{out, size, 0};
    while (output.pos < output.size) {
        if (!s->frame_open) {
            std::size_t frame = 0;
            std::size_t content = 0;
            *err = whole_frame(s, &frame, &content);
            if (*err != 0) return source_error::io;
            const bool fits = content <= output.size - output.pos;
            if (frame > 0 && !fits && output.pos > 0) break;  // whole, in the next piece
            if (frame > 0 && fits) {
                const std::size_t n = ZSTD_decompressDCtx(s->unpacker, out + output.pos, content,
                                                          s->input + s->input_begin, frame);
                if (ZSTD_isError(n)) {
                    s->error_name = ZSTD_getErrorName(n);
                    return source_error::corrupt;
                }
                s->input_begin += frame;
                output.pos += n;
                continue;
            }
        }
        if (s->input_begin == s->input_end && !s->input_eof) {
            *err = fill_input(s);
            if (*err != 0) return source_error::io;
            continue;
        }
        // With no input left the decompressor may still hold output.
        const bool drained = s->input_begin == s->input_end;
        if (drained && !s->frame_open) break;
        // Streamed, a piece is filled only in part: the window already
        // takes the memory, the rest of the piece's pages stay untouched.
        ZSTD_outBuffer part{out, std::max(output.pos, std::min(size, streamed_piece)), output.pos};
        if (part.pos == part.size) break;
        ZSTD_inBuffer input{s->input + s->input_begin, s->input_end - s->input_begin, 0};
        const std::size_t before = output.pos;
        const std::size_t left = ZSTD_decompressStream(s->unpacker, &part, &input);
        output.pos = part.pos;
        s->input_begin += input.pos;
        if (ZSTD_getErrorCode(left) == ZSTD_error_frameParameter_windowTooLarge)
            return source_error::window;
        if (ZSTD_isError(left)) {
            s->error_name = ZSTD_getErrorName(left);
            return source_error::corrupt;
        }
        s->frame_open = left != 0;
        if (drained && output.pos == before) break;
    }
    if (output.pos == 0 && s->frame_open) return source_error::cut_short;
    *got = output.pos;
    return source_error::none;
}

source_error read_gzip(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    z_stream& z = s->inflater;
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(size);
    while (z.avail_out == size) {
        if (s->input_begin == s->input_end && !s->input_eof) {
            *err = fill_input(s);
            if (*err != 0) return source_error::io;
            continue;
        }
        const bool drained = s->input_begin == s->input_end;
        if (drained && !s->frame_open) break;
        if (!s->frame_open) {  // a member follows the last one
            if (inflateReset(&z) != Z_OK) return source_error::no_memory;
            s->frame_open = true;
        }
        z.next_in = s->input + s->input_begin;
        z.avail_in = static_cast<uInt>(s->input_end - s->input_begin);
        const int status = inflate(&z, Z_NO_FLUSH);
        s->input_begin = s->input_end - z.avail_in;
        if (status == Z_STREAM_END) {
            s->frame_open = false;
        } else if (status == Z_MEM_ERROR) {
            return source_error::no_memory;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            s->error_name = z.msg ? z.msg : "invalid data";
            return source_error::corrupt;
        }
        if (drained && z.avail_out == size) break;
    }
    *got = size - z.avail_out;
    if (*got == 0 && s->frame_open) return source_error::cut_short;
    return source_error::none;
}

char* piece_data(byte_source* s, int i) {
    return s->pieces + static_cast<std::size_t>(i) * (piece_lead + piece_size) + piece_lead;
}

source_error decompress(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    *got = 0;
    *err = 0;
    return s->kind == source_kind::zstd ? read_zstd(s, out, size, got, err)
                                        : read_gzip(s, out, size, got, err);
}

// Fills the two pieces in turn until the stream ends or fails, or the
// reader stops.
void* decompress_pieces(void* argument) {
    byte_source* s = static_cast<byte_source*>(argument);
    for (int i = 0;; i ^= 1) {
        pthread_mutex_lock(&s->lock);
        while (s->piece_full[i] && !s->stopping) pthread_cond_wait(&s->changed, &s->lock);
        const bool stopping = s->stopping;
        pthread_mutex_unlock(&s->lock);
        if (stopping) return nullptr;
        std::size_t got = 0;
        int err = 0;
        const source_error error = decompress(s, piece_data(s, i), piece_size, &got, &err);
        pthread_mutex_lock(&s->lock);
        s->piece_got[i] = got;
        s->piece_error[i] = error;
        s->piece_err[i] = err;
        s->piece_full[i] = true;
        pthread_cond_broadcast(&s->changed);
        pthread_mutex_unlock(&s->lock);
        if (error != source_error::none || got == 0) return nullptr;
    }
}

bool start_thread(byte_source* s) {
    s->pieces = static_cast<char*>(std::malloc(2 * (piece_lead + piece_size)));
    if (!s->pieces) return false;
    if (pthread_mutex_init(&s->lock, nullptr) != 0) {
        std::free(s->pieces);
        s->pieces = nullptr;
        return false;
    }
    if (pthread_cond_init(&s->changed, nullptr) != 0) {
        pthread_mutex_destroy(&s->lock);
        std::free(s->pieces);
        s->pieces = nullptr;
        return false;
    }
    if (pthread_create(&s->thread, nullptr, decompress_pieces, s) != 0) {
        pthread_cond_destroy(&s->changed);
        pthread_mutex_destroy(&s->lock);
        std::free(s->pieces);
        s->pieces = nullptr;
        return false;
    }
    s->threaded = true;
    return true;
}

void stop_thread(byte_source* s) {
    if (!s->threaded) return;
    pthread_mutex_lock(&s->lock);
    s->stopping = true;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
    pthread_join(s->thread, nullptr);
    pthread_cond_destroy(&s->changed);
    pthread_mutex_destroy(&s->lock);
    s->threaded = false;
}

}  // namespace

source_kind source_kind_of(const unsigned char* bytes, std::size_t size) {
    if (size >= sizeof zstd_magic && std::memcmp(bytes, zstd_magic, sizeof zstd_magic) == 0)
        return source_kind::zstd;
    if (size >= sizeof gzip_magic && std::memcmp(bytes, gzip_magic, sizeof gzip_magic) == 0)
        return source_kind::gzip;
    return source_kind::plain;
}

int byte_source_attach(byte_source* source, int fd, bool owns_fd) {
    *source = byte_source{};
    source->piece_held = -1;
    source->fd = fd;
    source->owns_fd = owns_fd;
    unsigned char magic[4];
    const ssize_t n = ::pread(fd, magic, sizeof magic, 0);
    // A pipe cannot be peeked into; it is read as it comes.
    source->kind = n > 0 ? source_kind_of(magic, static_cast<std::size_t>(n)) : source_kind::plain;
    if (source->kind == source_kind::plain) return 0;

    // For zstd, room for a whole frame of a piece's size.
    source->input_capacity =
        source->kind == source_kind::zstd ? ZSTD_compressBound(piece_size) : 1 << 17;
    source->input = static_cast<unsigned char*>(std::malloc(source->input_capacity));
    if (!source->input) return ENOMEM;
    if (source->kind == source_kind::zstd) {
        source->unpacker = ZSTD_createDCtx();
        if (!source->unpacker || ZSTD_isError(ZSTD_DCtx_setParameter(
                                     source->unpacker, ZSTD_d_windowLogMax, max_window_log))) {
            ZSTD_freeDCtx(source->unpacker);
            std::free(source->input);
            return ENOMEM;
        }
    } else {
        source->inflater = z_stream{};
        if (inflateInit2(&source->inflater, 15 + 16) != Z_OK) {  // 16: a gzip wrapper
            std::free(source->input);
            return ENOMEM;
        }
        source->inflater_ready = true;
        source->frame_open = true;
    }
    // Where no thread starts, the reader's own thread decompresses.
    start_thread(source);
    return 0;
}

source_error byte_source_read(byte_source* source, char* out, std::size_t size, std::size_t* got,
                              int* err) {
    *got = 0;
    *err = 0;
    switch (source->kind) {
        case source_kind::plain:
            return read_plain(source, out, size, got, err);
        case source_kind::zstd:
        case source_kind::gzip:
            return decompress(source, out, size, got, err);
    }
    return source_error::io;
}

source_error byte_source_next_piece(byte_source* source, const char* kept, std::size_t keep,
                                    char** data, std::size_t* got, int* err) {
    *got = 0;
    *err = 0;
    if (source->finished) {
        *err = source->final_err;
        return source->final_error;
    }
    if (keep > piece_lead) return source_error::no_memory;
    const int i = source->next_piece;
    pthread_mutex_lock(&source->lock);
    while (!source->piece_full[i]) pthread_cond_wait(&source->changed, &source->lock);
    pthread_mutex_unlock(&source->lock);
    if (source->piece_error[i] != source_error::none || source->piece_got[i] == 0) {
        source->finished = true;
        source->final_error = source->piece_error[i];
        source->final_err = source->piece_err[i];
        *err = source->final_err;
        return source->final_error;
    }
    char* start = piece_data(source, i) - keep;
    if (keep > 0) std::memcpy(start, kept, keep);
    // The piece the kept bytes came from goes back to the decompressor.
    if (source->piece_held >= 0) {
        pthread_mutex_lock(&source->lock);
        source->piece_full[source->piece_held] = false;
        pthread_cond_broadcast(&source->changed);
        pthread_mutex_unlock(&source->lock);
    }
    source->piece_held = i;
    source->next_piece = i ^ 1;
    *data = start;
    *got = keep + source->piece_got[i];
    return source_error::none;
}

std::uint64_t byte_source_stored(byte_source* source) {
    stop_thread(source);
    return source->stored_bytes;
}

void byte_source_close(byte_source* source) {
    stop_thread(source);
    std::free(source->pieces);
    source->pieces = nullptr;
    if (source->inflater_ready) inflateEnd(&source->inflater);
    source->inflater_ready = false;
    ZSTD_freeDCtx(source->unpacker);
    source->unpacker = nullptr;
    std::free(source->input);
    source->input = nullptr;
    if (source->owns_fd && source->fd >= 0) ::close(source->fd);
    source->fd = -1;
}
