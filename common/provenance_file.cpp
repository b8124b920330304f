#include "provenance_file.h"

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "data_file_name.h"
#include "file_io.h"
#include "text_escape.h"
#include "utc_time.h"

namespace {

// A provenance file is a small object; anything larger is not one.
constexpr std::size_t largest_provenance = std::size_t{64} * 1024;

// The value after `"key":`, blanks skipped; nullptr when the key is absent.
// The keys read here occur once in the file, each with a plain value.
const char* value_of(const char* text, const char* key) {
    char quoted[40];
    std::snprintf(quoted, sizeof quoted, "\"%s\"", key);
    const char* at = std::strstr(text, quoted);
    if (!at) return nullptr;
    at += std::strlen(quoted);
    while (*at == ' ' || *at == '\n' || *at == '\t' || *at == '\r') ++at;
    if (*at != ':') return nullptr;
    ++at;
    while (*at == ' ' || *at == '\n' || *at == '\t' || *at == '\r') ++at;
    return at;
}

bool string_value(const char* text, const char* key, char* out, std::size_t out_size) {
    const char* at = value_of(text, key);
    if (!at || *at != '"') return false;
    const char* end = std::strchr(at + 1, '"');
    if (!end || static_cast<std::size_t>(end - at - 1) >= out_size) return false;
    std::memcpy(out, at + 1, static_cast<std::size_t>(end - at - 1));
    out[end - at - 1] = '\0';
    return true;
}

// A plain number, read the same whatever the locale; finite and positive.
bool number_value(const char* text, const char* key, double* out) {
    const char* at = value_of(text, key);
    if (!at) return false;
    double value = 0.0;
    const std::from_chars_result end = std::from_chars(at, at + std::strlen(at), value);
    if (end.ec != std::errc{} || !std::isfinite(value) || !(value > 0.0)) return false;
    *out = value;
    return true;
}

bool is_hex(const char* s) {
    for (; *s; ++s)
        if (!((*s >= '0' && *s <= '9') || (*s >= 'a' && *s <= 'f') || (*s >= 'A' && *s <= 'F')))
            return false;
    return true;
}

// Output through a small buffer, written out whenever it fills; the first
// failure sticks and ends all further writing.
struct json_out {
    int fd;
    int error;
    std::size_t used;
    char buffer[4096];
};

void flush_out(json_out* out) {
    if (out->error == 0) out->error = write_all(out->fd, out->buffer, out->used);
    out->used = 0;
}

void put_bytes(json_out* out, const char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (out->used == sizeof out->buffer) flush_out(out);
        out->buffer[out->used++] = bytes[i];
    }
}

void put(json_out* out, const char* text) { put_bytes(out, text, std::strlen(text)); }

// A JSON string, escaped as text_escape.h says; nullptr as null.
void put_text(json_out* out, const char* text) {
    if (!text) {
        put(out, "null");
        return;
    }
    put(out, "\"");
    for (std::size_t left = std::strlen(text); left > 0;) {
        char piece[escape_piece_size];
        const std::size_t n = escape_next(text_syntax::json, text, left, piece);
        put(out, piece);
        text += n;
        left -= n;
    }
    put(out, "\"");
}

// Each member: what ends the previous member or opens the object, then
// "KEY": and the value.
void put_key(json_out* out, const char* before, const char* key) {
    put(out, before);
    put_text(out, key);
    put(out, ": ");
}

void put_string(json_out* out, const char* before, const char* key, const char* text) {
    put_key(out, before, key);
    put_text(out, text);
}

// true, false or null.
void put_literal(json_out* out, const char* before, const char* key, const char* literal) {
    put_key(out, before, key);
    put(out, literal);
}

void put_unsigned(json_out* out, const char* before, const char* key, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    put_literal(out, before, key, text);
}

void put_signed(json_out* out, const char* before, const char* key, std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRId64, value);
    put_literal(out, before, key, text);
}

// Always with a point or an exponent, so that a reader takes it for the
// double it is.
void put_double(json_out* out, const char* before, const char* key, double value) {
    char text[json_number_size];
    put_literal(out, before, key, format_json_number(value, text, true));
}

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ", or null for a time gmtime cannot take.
void put_utc(json_out* out, const char* before, const char* key, double seconds) {
    char text[utc_text_size];
    const bool known = format_utc(seconds, 6, text, sizeof text);
    put_string(out, before, key, known ? text : nullptr);
}

void put_provenance(json_out* out, const run_provenance& run, std::uint32_t segment,
                    const char* previous, const clock_state& clock) {
    const run_settings& settings = *run.settings;
    put_string(out, "{\n  ", "format", provenance_format);
    put_string(out, ",\n  ", "run_id", run.run_id);
    put_unsigned(out, ",\n  ", "segment", segment);
    put_string(out, ",\n  ", "previous", previous ? base_name(previous) : nullptr);
    put_utc(out, ",\n  ", "start_utc", run.start_s);
    put_key(out, ",\n  ", "clock");
    put_literal(out, "{", "synchronized", clock.known && clock.synchronized ? "true" : "false");
    if (clock.known) {
        put_signed(out, ", ", "max_error_us", clock.max_error_us);
        put_signed(out, ", ", "est_error_us", clock.est_error_us);
    } else {
        put_literal(out, ", ", "max_error_us", "null");
        put_literal(out, ", ", "est_error_us", "null");
    }
    put_key(out, "},\n  ", "settings");
    put_double(out, "{", "sample_rate_hz", settings.sample_rate_hz);
    put_unsigned(out, ", ", "chunk_points", settings.chunk_points);
    put_signed(out, ", ", "ai_option", settings.ai_option);
    put_double(out, ", ", "sensitivity_mv_per_g", settings.sensitivity_mv_per_g);
    put_string(out, ", ", "out_dir", settings.out_dir);
    put_double(out, ", ", "sync_interval_s", settings.sync_interval_s);
    put_unsigned(out, ", ", "file_span_s", settings.file_span_s);
    put_string(out, "},\n  ", "program", "acc_recorder");
    put_string(out, ",\n  ", "version", run.version);
    put_key(out, ",\n  ", "device_library");
    put_string(out, "{", "path", run.library_path);
    put_literal(out, ", ", "simulator", run.simulator ? "true" : "false");
    put_string(out, "},\n  ", "host", run.host[0] ? run.host : nullptr);
    put(out, "\n}\n");
}

}  // namespace

bool provenance_path(const char* data_path, char* out, std::size_t out_size) {
    std::size_t stem = 0;
    if (!data_file_stem(data_path, &stem)) return false;
    const int written = std::snprintf(out, out_size, "%.*s%s", static_cast<int>(stem), data_path,
                                      provenance_suffix);
    return written > 0 && static_cast<std::size_t>(written) < out_size;
}

int write_provenance(const char* path, const run_provenance& run, std::uint32_t segment,
                     const char* previous, const clock_state& clock, int* fd) {
    // Never over an existing file, like the data file.
    int file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0) return errno;
    json_out out{file, 0, 0, {}};
    put_provenance(&out, run, segment, previous, clock);
    flush_out(&out);
    if (out.error != 0) {
        close(file);
        return out.error;
    }
    *fd = file;
    return 0;
}

void provenance_read(int fd, provenance* out) {
    *out = provenance{};
    char* text = static_cast<char*>(std::malloc(largest_provenance + 1));
    if (!text) return;
    std::size_t size = 0;
    while (size < largest_provenance) {
        const ssize_t got = read(fd, text + size, largest_provenance - size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size += static_cast<std::size_t>(got);
    }
    text[size] = '\0';
    provenance_parse(text, out);
    std::free(text);
}

void provenance_parse(const char* text, provenance* out) {
    *out = provenance{};
    out->present = string_value(text, "run_id", out->run_id, sizeof out->run_id) &&
                   std::strlen(out->run_id) == 32 && is_hex(out->run_id);
    if (!out->present) out->run_id[0] = '\0';
    const char* segment = value_of(text, "segment");
    out->segment = segment ? std::strtol(segment, nullptr, 10) : 0;
    out->have_start = string_value(text, "start_utc", out->start_utc, sizeof out->start_utc) &&
                      parse_utc(out->start_utc, &out->start_unix_s);
    const char* synced = value_of(text, "synchronized");
    out->synchronized = synced && std::strncmp(synced, "true", 4) == 0;
    out->have_settings = number_value(text, "sample_rate_hz", &out->sample_rate_hz) &&
                         number_value(text, "sensitivity_mv_per_g", &out->sensitivity_mv_per_g);
}

void provenance_of(const char* data_path, provenance* out) {
    *out = provenance{};
    char path[4096];
    if (!provenance_path(data_path, path, sizeof path)) return;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    provenance_read(fd, out);
    close(fd);
}
