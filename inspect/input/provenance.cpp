#include "provenance.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t largest_provenance = 16384;

bool ends_with(const char* s, std::size_t n, const char* tail) {
    const std::size_t t = std::strlen(tail);
    return n >= t && std::memcmp(s + n - t, tail, t) == 0;
}

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

bool is_hex(const char* s) {
    for (; *s; ++s)
        if (!((*s >= '0' && *s <= '9') || (*s >= 'a' && *s <= 'f') || (*s >= 'A' && *s <= 'F')))
            return false;
    return true;
}

}  // namespace

bool provenance_path(const char* data_path, char* out, std::size_t out_size) {
    const std::size_t n = std::strlen(data_path);
    std::size_t stem = 0;
    if (ends_with(data_path, n, ".csv"))
        stem = n - 4;
    else if (ends_with(data_path, n, ".csv.zst"))
        stem = n - 8;
    else if (ends_with(data_path, n, ".csv.gz"))
        stem = n - 7;
    else
        return false;
    const int written =
        std::snprintf(out, out_size, "%.*s.json", static_cast<int>(stem), data_path);
    return written > 0 && static_cast<std::size_t>(written) < out_size;
}

void provenance_read(const char* path, provenance* out) {
    *out = provenance{};
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return;
    char* text = static_cast<char*>(std::malloc(largest_provenance + 1));
    std::size_t size = text ? std::fread(text, 1, largest_provenance, f) : 0;
    std::fclose(f);
    if (!text) return;
    text[size] = '\0';
    if (string_value(text, "run_id", out->run_id, sizeof out->run_id) &&
        std::strlen(out->run_id) == 32 && is_hex(out->run_id)) {
        out->present = true;
        const char* segment = value_of(text, "segment");
        out->segment = segment ? std::strtol(segment, nullptr, 10) : 0;
        out->have_start = string_value(text, "start_utc", out->start_utc, sizeof out->start_utc) &&
                          parse_utc(out->start_utc, &out->start_unix_s);
        const char* synced = value_of(text, "synchronized");
        out->synchronized = synced && std::strncmp(synced, "true", 4) == 0;
    }
    std::free(text);
}

bool parse_utc(const char* text, double* unix_s) {
    // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
    int fields[6] = {};
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    const char separators[6] = {'-', '-', 'T', ':', ':', '\0'};
    const char* at = text;
    for (int f = 0; f < 6; ++f) {
        for (int d = 0; d < widths[f]; ++d, ++at) {
            if (*at < '0' || *at > '9') return false;
            fields[f] = fields[f] * 10 + (*at - '0');
        }
        if (separators[f] != '\0' && *at++ != separators[f]) return false;
    }
    const int year = fields[0], month = fields[1], day = fields[2];
    const int hour = fields[3], minute = fields[4], second = fields[5];
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    const char* rest = at;
    double fraction = 0.0;
    if (*rest == '.') {
        ++rest;
        if (*rest < '0' || *rest > '9') return false;
        long long numerator = 0;
        long long denominator = 1;
        for (; *rest >= '0' && *rest <= '9'; ++rest) {
            if (denominator < 1000000000LL) {  // nanoseconds are plenty
                numerator = numerator * 10 + (*rest - '0');
                denominator *= 10;
            }
        }
        fraction = static_cast<double>(numerator) / static_cast<double>(denominator);
    }
    if (std::strcmp(rest, "Z") != 0) return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::time_t t = timegm(&tm);
    *unix_s = static_cast<double>(t) + fraction;
    return true;
}

void format_utc(double unix_s, char* out, std::size_t out_size) {
    double whole = std::floor(unix_s);
    long millis = std::lround((unix_s - whole) * 1000.0);
    if (millis == 1000) {
        whole += 1;
        millis = 0;
    }
    const std::time_t t = static_cast<std::time_t>(whole);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char base[32];
    std::strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(out, out_size, "%s.%03ldZ", base, millis);
}
