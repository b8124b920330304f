#include "byte_source.h"

#include "compact_source.h"
#include "data_format.h"
#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

// The decompressor's state, its input, and the pieces handed over from the
// decompressing thread.
struct byte_source_state {
    unsigned char* input;  // compressed bytes read, not yet decompressed
    std::size_t input_capacity;
    std::size_t input_begin;
    std::size_t input_end;
    bool input_eof;
    bool frame_open;      // inside a frame: the stream may not end here
    ZSTD_DCtx* unpacker;  // nullptr: not created
    z_stream inflater;
    bool inflater_ready;

    bool stopping;  // the reader is done: the thread ends at its next piece
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    char* pieces;  // two, each with room before it for a line begun in the other
    std::size_t piece_got[2];
    source_error piece_error[2];
    int piece_err[2];
    bool piece_full[2];
    int next_piece;  // the piece the reader takes next
    int piece_held;  // the piece the reader is on, -1 for none
    bool finished;   // the last piece was taken: every call returns it again
    source_error final_error;
    int final_err;
};

namespace {

constexpr unsigned char zstd_magic[] = {0x28, 0xb5, 0x2f, 0xfd};
constexpr unsigned char gzip_magic[] = {0x1f, 0x8b};

// Reads once more behind the unread compressed bytes, in chunks: the
// buffer holds a whole frame, but only as much of it is used as the frame
// takes.
int fill_input(byte_source* s) {
    if (s->state->input_begin > 0) {
        std::memmove(s->state->input, s->state->input + s->state->input_begin,
                     s->state->input_end - s->state->input_begin);
        s->state->input_end -= s->state->input_begin;
        s->state->input_begin = 0;
    }
    const std::size_t room =
        std::min(s->state->input_capacity - s->state->input_end, std::size_t{1} << 16);
    const ssize_t got = read_some(s->fd, s->state->input + s->state->input_end, room);
    if (got < 0) return errno;
    if (got == 0) s->state->input_eof = true;
    s->state->input_end += static_cast<std::size_t>(got);
    s->stored_bytes += static_cast<std::uint64_t>(got);
    return 0;
}

source_error read_plain(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    const ssize_t n = read_some(s->fd, out, size);
    if (n < 0) {
        *err = errno;
        return source_error::io;
    }
    *got = static_cast<std::size_t>(n);
    s->stored_bytes += static_cast<std::uint64_t>(n);
    return source_error::none;
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
        const unsigned char* at = s->state->input + s->state->input_begin;
        const std::size_t available = s->state->input_end - s->state->input_begin;
        const std::size_t size = ZSTD_findFrameCompressedSize(at, available);
        if (!ZSTD_isError(size)) {
            const unsigned long long n = ZSTD_getFrameContentSize(at, available);
            if (n <= piece_size) {
                *frame = size;
                *content = static_cast<std::size_t>(n);
            }
            return 0;
        }
        const bool full =
            s->state->input_begin == 0 && s->state->input_end == s->state->input_capacity;
        if (ZSTD_getErrorCode(size) != ZSTD_error_srcSize_wrong || s->state->input_eof || full)
            return 0;
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
        if (!s->state->frame_open) {
            std::size_t frame = 0;
            std::size_t content = 0;
            *err = whole_frame(s, &frame, &content);
            if (*err != 0) return source_error::io;
            const bool fits = content <= output.size - output.pos;
            if (frame > 0 && !fits && output.pos > 0) break;  // whole, in the next piece
            if (frame > 0 && fits) {
                const std::size_t n =
                    ZSTD_decompressDCtx(s->state->unpacker, out + output.pos, content,
                                        s->state->input + s->state->input_begin, frame);
                if (ZSTD_isError(n)) {
                    s->error_name = ZSTD_getErrorName(n);
                    return source_error::corrupt;
                }
                s->state->input_begin += frame;
                output.pos += n;
                continue;
            }
        }
        if (s->state->input_begin == s->state->input_end && !s->state->input_eof) {
            *err = fill_input(s);
            if (*err != 0) return source_error::io;
            continue;
        }
        // With no input left the decompressor may still hold output.
        const bool drained = s->state->input_begin == s->state->input_end;
        if (drained && !s->state->frame_open) break;
        // Streamed, a piece is filled only in part: the window already
        // takes the memory, the rest of the piece's pages stay untouched.
        ZSTD_outBuffer part{out, std::max(output.pos, std::min(size, streamed_piece)), output.pos};
        if (part.pos == part.size) break;
        ZSTD_inBuffer input{s->state->input + s->state->input_begin,
                            s->state->input_end - s->state->input_begin, 0};
        const std::size_t before = output.pos;
        const std::size_t left = ZSTD_decompressStream(s->state->unpacker, &part, &input);
        output.pos = part.pos;
        s->state->input_begin += input.pos;
        if (ZSTD_getErrorCode(left) == ZSTD_error_frameParameter_windowTooLarge)
            return source_error::window;
        if (ZSTD_isError(left)) {
            s->error_name = ZSTD_getErrorName(left);
            return source_error::corrupt;
        }
        s->state->frame_open = left != 0;
        if (drained && output.pos == before) break;
    }
    if (output.pos == 0 && s->state->frame_open) return source_error::cut_short;
    *got = output.pos;
    return source_error::none;
}

source_error read_gzip(byte_source* s, char* out, std::size_t size, std::size_t* got, int* err) {
    z_stream& z = s->state->inflater;
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(size);
    while (z.avail_out == size) {
        if (s->state->input_begin == s->state->input_end && !s->state->input_eof) {
            *err = fill_input(s);
            if (*err != 0) return source_error::io;
            continue;
        }
        const bool drained = s->state->input_begin == s->state->input_end;
        if (drained && !s->state->frame_open) break;
        if (!s->state->frame_open) {  // a member follows the last one
            if (inflateReset(&z) != Z_OK) return source_error::no_memory;
            s->state->frame_open = true;
        }
        z.next_in = s->state->input + s->state->input_begin;
        z.avail_in = static_cast<uInt>(s->state->input_end - s->state->input_begin);
        const int status = inflate(&z, Z_NO_FLUSH);
        s->state->input_begin = s->state->input_end - z.avail_in;
        if (status == Z_STREAM_END) {
            s->state->frame_open = false;
        } else if (status == Z_MEM_ERROR) {
            return source_error::no_memory;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            s->error_name = z.msg ? z.msg : "invalid data";
            return source_error::corrupt;
        }
        if (drained && z.avail_out == size) break;
    }
    *got = size - z.avail_out;
    if (*got == 0 && s->state->frame_open) return source_error::cut_short;
    return source_error::none;
}

char* piece_data(byte_source* s, int i) {
    return s->state->pieces + static_cast<std::size_t>(i) * (piece_lead + piece_size) + piece_lead;
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
        pthread_mutex_lock(&s->state->lock);
        while (s->state->piece_full[i] && !s->state->stopping)
            pthread_cond_wait(&s->state->changed, &s->state->lock);
        const bool stopping = s->state->stopping;
        pthread_mutex_unlock(&s->state->lock);
        if (stopping) return nullptr;
        std::size_t got = 0;
        int err = 0;
        const source_error error = decompress(s, piece_data(s, i), piece_size, &got, &err);
        pthread_mutex_lock(&s->state->lock);
        s->state->piece_got[i] = got;
        s->state->piece_error[i] = error;
        s->state->piece_err[i] = err;
        s->state->piece_full[i] = true;
        pthread_cond_broadcast(&s->state->changed);
        pthread_mutex_unlock(&s->state->lock);
        if (error != source_error::none || got == 0) return nullptr;
    }
}

bool start_thread(byte_source* s) {
    byte_source_state* state = s->state;
    state->pieces = static_cast<char*>(std::malloc(2 * (piece_lead + piece_size)));
    const bool locked = state->pieces && pthread_mutex_init(&state->lock, nullptr) == 0;
    const bool signalled = locked && pthread_cond_init(&state->changed, nullptr) == 0;
    s->threaded = signalled && pthread_create(&state->thread, nullptr, decompress_pieces, s) == 0;
    if (s->threaded) return true;
    if (signalled) pthread_cond_destroy(&state->changed);
    if (locked) pthread_mutex_destroy(&state->lock);
    std::free(state->pieces);
    state->pieces = nullptr;
    return false;
}

void stop_thread(byte_source* s) {
    if (!s->threaded) return;
    pthread_mutex_lock(&s->state->lock);
    s->state->stopping = true;
    pthread_cond_broadcast(&s->state->changed);
    pthread_mutex_unlock(&s->state->lock);
    pthread_join(s->state->thread, nullptr);
    pthread_cond_destroy(&s->state->changed);
    pthread_mutex_destroy(&s->state->lock);
    s->threaded = false;
}

}  // namespace

source_kind source_kind_of(const unsigned char* bytes, std::size_t size) {
    if (size >= sizeof zstd_magic && std::memcmp(bytes, zstd_magic, sizeof zstd_magic) == 0)
        return source_kind::zstd;
    if (size >= sizeof gzip_magic && std::memcmp(bytes, gzip_magic, sizeof gzip_magic) == 0)
        return source_kind::gzip;
    if (size >= sizeof compact_magic &&
        std::memcmp(bytes, compact_magic, sizeof compact_magic) == 0)
        return source_kind::compact;
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
    if (source->kind == source_kind::compact) {
        source->compact = compact_source_open(fd);
        return source->compact ? 0 : ENOMEM;
    }

    source->state = static_cast<byte_source_state*>(std::calloc(1, sizeof(byte_source_state)));
    if (!source->state) return ENOMEM;
    byte_source_state* state = source->state;
    *state = byte_source_state{};
    state->piece_held = -1;
    // For zstd, room for a whole frame of a piece's size.
    state->input_capacity =
        source->kind == source_kind::zstd ? ZSTD_compressBound(piece_size) : 1 << 17;
    state->input = static_cast<unsigned char*>(std::malloc(state->input_capacity));
    bool unpacker_ready = false;
    if (source->kind == source_kind::zstd) {
        state->unpacker = ZSTD_createDCtx();
        unpacker_ready =
            state->unpacker && !ZSTD_isError(ZSTD_DCtx_setParameter(
                                   state->unpacker, ZSTD_d_windowLogMax, max_window_log));
    } else if (inflateInit2(&state->inflater, 15 + 16) == Z_OK) {  // 16: a gzip wrapper
        state->inflater_ready = unpacker_ready = true;
        state->frame_open = true;
    }
    if (!state->input || !unpacker_ready) {
        byte_source_close(source);
        return ENOMEM;
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
        case source_kind::compact:
            break;
    }
    const compact_status status = compact_source_text(source->compact, out, size, got);
    source->stored_bytes = source->compact->stored_bytes;
    switch (status) {
        case compact_status::ok:
            return source_error::none;
        case compact_status::read_failed:
            *err = source->compact->read_errno;
            return source_error::io;
        case compact_status::no_memory:
            return source_error::no_memory;
        default:
            *err = static_cast<int>(status);
            return source_error::compact_fault;
    }
}

source_error byte_source_next_piece(byte_source* source, const char* kept, std::size_t keep,
                                    char** data, std::size_t* got, int* err) {
    *got = 0;
    *err = 0;
    if (source->state->finished) {
        *err = source->state->final_err;
        return source->state->final_error;
    }
    if (keep > piece_lead) return source_error::no_memory;
    const int i = source->state->next_piece;
    pthread_mutex_lock(&source->state->lock);
    while (!source->state->piece_full[i])
        pthread_cond_wait(&source->state->changed, &source->state->lock);
    pthread_mutex_unlock(&source->state->lock);
    if (source->state->piece_error[i] != source_error::none || source->state->piece_got[i] == 0) {
        source->state->finished = true;
        source->state->final_error = source->state->piece_error[i];
        source->state->final_err = source->state->piece_err[i];
        *err = source->state->final_err;
        return source->state->final_error;
    }
    char* start = piece_data(source, i) - keep;
    if (keep > 0) std::memcpy(start, kept, keep);
    // The piece the kept bytes came from goes back to the decompressor.
    if (source->state->piece_held >= 0) {
        pthread_mutex_lock(&source->state->lock);
        source->state->piece_full[source->state->piece_held] = false;
        pthread_cond_broadcast(&source->state->changed);
        pthread_mutex_unlock(&source->state->lock);
    }
    source->state->piece_held = i;
    source->state->next_piece = i ^ 1;
    *data = start;
    *got = keep + source->state->piece_got[i];
    return source_error::none;
}

std::uint64_t byte_source_stored(byte_source* source) {
    stop_thread(source);
    if (source->compact) source->stored_bytes = source->compact->stored_bytes;
    return source->stored_bytes;
}

void byte_source_close(byte_source* source) {
    stop_thread(source);
    compact_source_close(source->compact);
    source->compact = nullptr;
    byte_source_state* state = source->state;
    if (state) {
        std::free(state->pieces);
        if (state->inflater_ready) inflateEnd(&state->inflater);
        ZSTD_freeDCtx(state->unpacker);
        std::free(state->input);
        std::free(state);
        source->state = nullptr;
    }
    if (source->owns_fd && source->fd >= 0) ::close(source->fd);
    source->fd = -1;
}
