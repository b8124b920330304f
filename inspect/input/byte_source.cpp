#include "byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

constexpr unsigned char zstd_magic[] = {0x28, 0xb5, 0x2f, 0xfd};
constexpr unsigned char gzip_magic[] = {0x1f, 0x8b};

// Reads once more behind the unread compressed bytes.
int fill_input(byte_source* s) {
    if (s->input_begin > 0) {
        std::memmove(s->input, s->input + s->input_begin, s->input_end - s->input_begin);
        s->input_end -= s->input_begin;
        s->input_begin = 0;
    }
    for (;;) {
        ssize_t got = ::read(s->fd, s->input + s->input_end, s->input_capacity - s->input_end);
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

// Fills `out` as far as the stream goes, for few and large hand-overs; a
// frame may be followed by another, as a concatenation of .zst files is.
source_error read_zstd(byte_source* s, void* out, std::size_t size, std::size_t* got, int* err) {
    ZSTD_outBuffer output{out, size, 0};
    while (output.pos < output.size) {
        if (s->input_begin == s->input_end && !s->input_eof) {
            *err = fill_input(s);
            if (*err != 0) return source_error::io;
            continue;
        }
        // With no input left the decompressor may still hold output.
        const bool drained = s->input_begin == s->input_end;
        if (drained && !s->frame_open) break;
        ZSTD_inBuffer input{s->input + s->input_begin, s->input_end - s->input_begin, 0};
        const std::size_t before = output.pos;
        const std::size_t left = ZSTD_decompressStream(s->unpacker, &output, &input);
        s->input_begin += input.pos;
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

constexpr std::size_t piece_size = std::size_t{1} << 18;

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
        const source_error error =
            decompress(s, s->pieces + i * piece_size, piece_size, &got, &err);
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
    s->pieces = static_cast<char*>(std::malloc(2 * piece_size));
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

// The next bytes from the pieces, waiting for the next one when needed.
source_error read_pieces(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    if (s->finished) {
        *err = s->final_err;
        return s->final_error;
    }
    const int i = s->next_piece;
    pthread_mutex_lock(&s->lock);
    while (!s->piece_full[i]) pthread_cond_wait(&s->changed, &s->lock);
    pthread_mutex_unlock(&s->lock);
    if (s->piece_error[i] != source_error::none || s->piece_got[i] == 0) {
        s->finished = true;
        s->final_error = s->piece_error[i];
        s->final_err = s->piece_err[i];
        *err = s->final_err;
        return s->final_error;
    }
    const std::size_t n = std::min(size, s->piece_got[i] - s->piece_used);
    std::memcpy(out, s->pieces + i * piece_size + s->piece_used, n);
    *got = n;
    s->piece_used += n;
    if (s->piece_used == s->piece_got[i]) {
        s->piece_used = 0;
        s->next_piece ^= 1;
        pthread_mutex_lock(&s->lock);
        s->piece_full[i] = false;
        pthread_cond_broadcast(&s->changed);
        pthread_mutex_unlock(&s->lock);
    }
    return source_error::none;
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
    source->fd = fd;
    source->owns_fd = owns_fd;
    unsigned char magic[4];
    const ssize_t n = ::pread(fd, magic, sizeof magic, 0);
    // A pipe cannot be peeked into; it is read as it comes.
    source->kind = n > 0 ? source_kind_of(magic, static_cast<std::size_t>(n)) : source_kind::plain;
    if (source->kind == source_kind::plain) return 0;

    source->input_capacity = source->kind == source_kind::zstd ? ZSTD_DStreamInSize() : 1 << 17;
    source->input = static_cast<unsigned char*>(std::malloc(source->input_capacity));
    if (!source->input) return ENOMEM;
    if (source->kind == source_kind::zstd) {
        source->unpacker = ZSTD_createDStream();
        if (!source->unpacker || ZSTD_isError(ZSTD_initDStream(source->unpacker))) {
            if (source->unpacker) ZSTD_freeDStream(source->unpacker);
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
            if (source->threaded) return read_pieces(source, out, size, got, err);
            return decompress(source, out, size, got, err);
    }
    return source_error::io;
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
    if (source->unpacker) ZSTD_freeDStream(source->unpacker);
    source->unpacker = nullptr;
    std::free(source->input);
    source->input = nullptr;
    if (source->owns_fd && source->fd >= 0) ::close(source->fd);
    source->fd = -1;
}
