#include "provenance.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/timex.h>
#include <unistd.h>

namespace {

// Output through a small buffer, written out whenever it fills; the first
// failure sticks and ends all further writing.
struct json_out {
    int fd;
    int error;
    std::size_t used;
    char buffer[4096];
};

void flush_out(json_out* out) {
    std::size_t done = 0;
    while (out->error == 0 && done < out->used) {
        ssize_t written = write(out->fd, out->buffer + done, out->used - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            out->error = written < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    out->used = 0;
}

void put_bytes(json_out* out, const char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (out->used == sizeof out->buffer) flush_out(out);
        out->buffer[out->used++] = bytes[i];
    }
}

void put(json_out* out, const char* text) { put_bytes(out, text, std::strlen(text)); }

// The length of the well-formed UTF-8 sequence at `s`, or 0. The ranges are
// those of RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence_length(const unsigned char* s) {
    const unsigned char lead = s[0];
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    // A terminating zero fails each test, so nothing past it is read.
    if (s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    return length;
}

void put_string(json_out* out, const char* text) {
    if (!text) {
        put(out, "null");
        return;
    }
    put(out, "\"");
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        char escaped[8];
        if (*s == '"' || *s == '\\') {
            const char pair[] = {'\\', static_cast<char>(*s)};
            put_bytes(out, pair, 2);
            ++s;
        } else if (*s < 0x20) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*s));
            put(out, escaped);
            ++s;
        } else if (std::size_t length = utf8_sequence_length(s)) {
            put_bytes(out, reinterpret_cast<const char*>(s), length);
            s += length;
        } else {
            put(out, "\\ufffd");
            ++s;
        }
    }
    put(out, "\"");
}

void put_key(json_out* out, const char* key) {
    put_string(out, key);
    put(out, ": ");
}

void put_unsigned(json_out* out, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    put(out, text);
}

void put_signed(json_out* out, std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRId64, value);
    put(out, text);
}

// Exact (17 significant digits), and always with a point or an exponent so
// that a reader takes it for the double it is.
void put_double(json_out* out, double value) {
    if (!std::isfinite(value)) {
        put(out, "null");
        return;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    if (!std::strpbrk(text, ".e")) std::strcat(text, ".0");
    put(out, text);
}

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ", or null for a time gmtime cannot take.
void put_utc(json_out* out, double seconds) {
    const double whole = std::floor(seconds);
    auto when = static_cast<std::time_t>(whole);
    long long micros = std::llround((seconds - whole) * 1e6);
    if (micros >= 1000000) {
        micros -= 1000000;
        ++when;
    }
    std::tm utc{};
    if (!std::isfinite(seconds) || !gmtime_r(&when, &utc)) {
        put(out, "null");
        return;
    }
    char text[64];
    std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ\"",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, micros);
    put(out, text);
}

const char* name_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void put_provenance(json_out* out, const run_provenance& run, std::uint32_t segment,
                    const char* previous, const clock_state& clock) {
    const run_settings& settings = *run.settings;
    put(out, "{\n  ");
    put_key(out, "format");
    put_string(out, provenance_format);
    put(out, ",\n  ");
    put_key(out, "run_id");
    put_string(out, run.run_id);
    put(out, ",\n  ");
    put_key(out, "segment");
    put_unsigned(out, segment);
    put(out, ",\n  ");
    put_key(out, "previous");
    put_string(out, previous ? name_of(previous) : nullptr);
    put(out, ",\n  ");
    put_key(out, "start_utc");
    put_utc(out, run.start_s);
    put(out, ",\n  ");
    put_key(out, "clock");
    put(out, "{");
    put_key(out, "synchronized");
    put(out, clock.known && clock.synchronized ? "true" : "false");
    put(out, ", ");
    put_key(out, "max_error_us");
    if (clock.known)
        put_signed(out, clock.max_error_us);
    else
        put(out, "null");
    put(out, ", ");
    put_key(out, "est_error_us");
    if (clock.known)
        put_signed(out, clock.est_error_us);
    else
        put(out, "null");
    put(out, "},\n  ");
    put_key(out, "settings");
    put(out, "{");
    put_key(out, "sample_rate_hz");
    put_double(out, settings.sample_rate_hz);
    put(out, ", ");
    put_key(out, "chunk_points");
    put_unsigned(out, settings.chunk_points);
    put(out, ", ");
    put_key(out, "ai_option");
    put_signed(out, settings.ai_option);
    put(out, ", ");
    put_key(out, "sensitivity_mv_per_g");
    put_double(out, settings.sensitivity_mv_per_g);
    put(out, ", ");
    put_key(out, "out_dir");
    put_string(out, settings.out_dir);
    put(out, ", ");
    put_key(out, "sync_interval_s");
    put_double(out, settings.sync_interval_s);
    put(out, ", ");
    put_key(out, "file_span_s");
    put_unsigned(out, settings.file_span_s);
    put(out, "},\n  ");
    put_key(out, "program");
    put_string(out, "acc_recorder");
    put(out, ",\n  ");
    put_key(out, "version");
    put_string(out, run.version);
    put(out, ",\n  ");
    put_key(out, "device_library");
    put(out, "{");
    put_key(out, "path");
    put_string(out, run.library_path);
    put(out, ", ");
    put_key(out, "simulator");
    put(out, run.simulator ? "true" : "false");
    put(out, "},\n  ");
    put_key(out, "host");
    put_string(out, run.host[0] ? run.host : nullptr);
    put(out, "\n}\n");
}

// A splitmix64 step: spreads the bits of the fallback's inputs.
std::uint64_t mixed(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void make_run_id(char* run_id) {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof bytes) {
        // A kernel without getrandom: the clocks and the process id still
        // tell runs apart.
        timespec wall{};
        timespec since_boot{};
        clock_gettime(CLOCK_REALTIME, &wall);
        clock_gettime(CLOCK_MONOTONIC, &since_boot);
        std::uint64_t a = mixed(static_cast<std::uint64_t>(wall.tv_sec) * 1000000000ull +
                                static_cast<std::uint64_t>(wall.tv_nsec));
        std::uint64_t b = mixed(a ^ (static_cast<std::uint64_t>(since_boot.tv_nsec) << 20) ^
                                static_cast<std::uint64_t>(getpid()));
        std::memcpy(bytes, &a, 8);
        std::memcpy(bytes + 8, &b, 8);
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(run_id + 2 * i, 3, "%02x", static_cast<unsigned>(bytes[i]));
}

}  // namespace

void init_run_provenance(run_provenance* run, const run_settings* settings, const char* version,
                         const char* library_path, bool simulator) {
    make_run_id(run->run_id);
    run->start_s = 0.0;
    run->settings = settings;
    run->version = version;
    run->library_path = library_path;
    run->simulator = simulator;
    if (gethostname(run->host, sizeof run->host) != 0) run->host[0] = '\0';
    run->host[sizeof run->host - 1] = '\0';
}

clock_state read_clock_state() {
    clock_state clock{};
    timex tx{};
    int state = adjtimex(&tx);
    if (state == -1) return clock;
    clock.known = true;
    clock.synchronized = state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
    clock.max_error_us = tx.maxerror;
    clock.est_error_us = tx.esterror;
    return clock;
}

void format_provenance_path(char* out, std::size_t out_size, const char* csv_path) {
    constexpr std::size_t ending_size = sizeof(data_file_name_suffix) - 1;
    std::size_t length = std::strlen(csv_path);
    if (length >= ending_size &&
        std::memcmp(csv_path + length - ending_size, data_file_name_suffix, ending_size) == 0)
        length -= ending_size;
    std::snprintf(out, out_size, "%.*s.json", static_cast<int>(length), csv_path);
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

int write_json_string(int fd, const char* text) {
    json_out out{fd, 0, 0, {}};
    put_string(&out, text);
    flush_out(&out);
    return out.error;
}
