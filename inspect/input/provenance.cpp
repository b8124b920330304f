#include "provenance.h"

#include "utc_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
