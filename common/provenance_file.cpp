#include "provenance_file.h"

#include <cerrno>
#include <charconv>
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

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ", or null for a time gmtime cannot take.
void put_utc(json_writer* w, const char* key, double seconds) {
    char text[utc_text_size];
    const bool known = format_utc(seconds, 6, text, sizeof text);
    json_string(w, key, known ? text : nullptr);
}

// Objects within the file stand on one line each. Numbers of settings are
// always written with a point or an exponent, so that a reader takes them
// for the doubles they are.
void put_provenance(std::FILE* out, const run_provenance& run, std::uint32_t segment,
                    const char* previous, const clock_state& clock) {
    const run_settings& settings = *run.settings;
    json_writer w = json_begin(out, 2);
    json_string(&w, "format", provenance_format);
    json_string(&w, "run_id", run.run_id);
    json_count(&w, "segment", segment);
    json_string(&w, "previous", previous ? base_name(previous) : nullptr);
    put_utc(&w, "start_utc", run.start_s);
    json_open(&w, "clock", '{');
    json_bool(&w, "synchronized", clock.known && clock.synchronized);
    if (clock.known) {
        json_signed(&w, "max_error_us", clock.max_error_us);
        json_signed(&w, "est_error_us", clock.est_error_us);
    } else {
        json_literal(&w, "max_error_us", "null");
        json_literal(&w, "est_error_us", "null");
    }
    json_close(&w, '}');
    json_open(&w, "settings", '{');
    json_number(&w, "sample_rate_hz", settings.sample_rate_hz, true);
    json_count(&w, "chunk_points", settings.chunk_points);
    json_signed(&w, "ai_option", settings.ai_option);
    json_number(&w, "sensitivity_mv_per_g", settings.sensitivity_mv_per_g, true);
    json_string(&w, "out_dir", settings.out_dir);
    json_number(&w, "sync_interval_s", settings.sync_interval_s, true);
    json_count(&w, "file_span_s", settings.file_span_s);
    json_close(&w, '}');
    json_string(&w, "program", "acc_recorder");
    json_string(&w, "version", run.version);
    json_open(&w, "device_library", '{');
    json_string(&w, "path", run.library_path);
    json_bool(&w, "simulator", run.simulator);
    json_close(&w, '}');
    json_string(&w, "host", run.host[0] ? run.host : nullptr);
    json_close(&w, '}');
    std::fputc('\n', out);
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
    // Made whole in memory, then written at once.
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    int error = out ? 0 : errno;
    if (out) {
        put_provenance(out, run, segment, previous, clock);
        if (std::fclose(out) != 0) error = errno;
    }
    if (error == 0) error = write_all(file, text, size);
    std::free(text);
    if (error != 0) {
        close(file);
        return error;
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
        const ssize_t got = read_some(fd, text + size, largest_provenance - size);
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
