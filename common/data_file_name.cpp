#include "data_file_name.h"

#include <cstdio>
#include <cstring>

#include "data_format.h"

namespace {

constexpr std::size_t prefix_size = sizeof(data_file_name_prefix) - 1;
constexpr std::size_t summary_prefix_size = sizeof(summary_prefix) - 1;
constexpr std::size_t summary_suffix_size = sizeof(summary_suffix) - 1;
constexpr std::size_t stamp_size = 15;  // "YYYYMMDD_HHMMSS"

bool all_digits(const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

int number_at(const char* text, std::size_t n) {
    int value = 0;
    for (std::size_t i = 0; i < n; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// "<prefix>YYYYMMDD_HHMMSS" with "_N" when numbered.
bool parse_stamp(const char* text, std::size_t size, const char* prefix, std::tm* local_time) {
    const std::size_t lead = std::strlen(prefix);
    if (size < lead + stamp_size || std::strncmp(text, prefix, lead) != 0) return false;
    const char* stamp = text + lead;
    if (!all_digits(stamp, 8) || stamp[8] != '_' || !all_digits(stamp + 9, 6)) return false;
    const std::size_t rest = size - lead - stamp_size;
    if (rest != 0) {
        const char* number = stamp + stamp_size;
        if (rest < 2 || rest > 4 || number[0] != '_' || number[1] == '0' ||
            !all_digits(number + 1, rest - 1))
            return false;
        const int n = number_at(number + 1, rest - 1);
        if (n < 2 || n > static_cast<int>(max_name_suffix)) return false;
    }
    std::tm local{};
    local.tm_year = number_at(stamp, 4) - 1900;
    local.tm_mon = number_at(stamp + 4, 2) - 1;
    local.tm_mday = number_at(stamp + 6, 2);
    local.tm_hour = number_at(stamp + 9, 2);
    local.tm_min = number_at(stamp + 11, 2);
    local.tm_sec = number_at(stamp + 13, 2);
    local.tm_isdst = -1;
    if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 ||
        local.tm_hour > 23 || local.tm_min > 59 || local.tm_sec > 60)
        return false;
    *local_time = local;
    return true;
}

bool parse_stem(const char* text, std::size_t size, std::tm* local_time) {
    return parse_stamp(text, size, data_file_name_prefix, local_time);
}

// ".csv" then `after`, at the end of `text`.
bool ends_with_csv(const char* text, std::size_t size, const char* after, std::size_t* stem) {
    const std::size_t csv = std::strlen(data_file_name_suffix);
    const std::size_t rest = std::strlen(after);
    if (size < csv + rest || std::memcmp(text + size - rest, after, rest) != 0 ||
        std::memcmp(text + size - rest - csv, data_file_name_suffix, csv) != 0)
        return false;
    *stem = size - rest - csv;
    return true;
}

// What the name's ending from ".csv" on makes it, none for another ending.
name_kind csv_ending(const char* text, std::size_t size, std::size_t* stem) {
    if (ends_with_csv(text, size, "", stem)) return name_kind::data;
    if (ends_with_csv(text, size, compressed_zst_suffix, stem)) return name_kind::compressed_zst;
    if (ends_with_csv(text, size, compressed_gz_suffix, stem)) return name_kind::compressed_gz;
    if (ends_with_csv(text, size, compact_suffix, stem)) return name_kind::compact;
    return name_kind::none;
}

}  // namespace

void format_csv_path(char* path, std::size_t path_size, const char* out_dir,
                     const std::tm& local_time) {
    // A result longer than the buffer is cut short, not refused.
    std::snprintf(path, path_size, data_file_name_format, out_dir, local_time.tm_year + 1900,
                  local_time.tm_mon + 1, local_time.tm_mday, local_time.tm_hour, local_time.tm_min,
                  local_time.tm_sec);
}

bool format_numbered_path(char* out, std::size_t out_size, const char* path, unsigned n) {
    std::size_t stem = std::strlen(path);
    const bool has_ending = ends_with_csv(path, stem, "", &stem);
    int written = std::snprintf(out, out_size, "%.*s_%u%s", static_cast<int>(stem), path, n,
                                has_ending ? data_file_name_suffix : "");
    return written > 0 && static_cast<std::size_t>(written) < out_size;
}

bool data_file_stem(const char* path, std::size_t* stem_size) {
    return csv_ending(path, std::strlen(path), stem_size) != name_kind::none;
}

name_kind parse_data_file_name(const char* name, std::size_t* stem_size, std::tm* local_time) {
    const std::size_t size = std::strlen(name);
    const std::size_t json = std::strlen(provenance_suffix);
    std::size_t stem = 0;
    name_kind kind = csv_ending(name, size, &stem);
    if (kind == name_kind::none && size >= json &&
        std::strcmp(name + size - json, provenance_suffix) == 0) {
        kind = name_kind::provenance;
        stem = size - json;
    }
    if (kind == name_kind::none || !parse_stem(name, stem, local_time)) return name_kind::none;
    *stem_size = stem;
    return kind;
}

bool format_summary_name(const char* stem, char* out, std::size_t out_size) {
    std::tm local{};
    if (!parse_stem(stem, std::strlen(stem), &local)) return false;
    const int written =
        std::snprintf(out, out_size, "%s%s%s", summary_prefix, stem + prefix_size, summary_suffix);
    return written > 0 && static_cast<std::size_t>(written) < out_size;
}

bool parse_summary_name(const char* name, char* stem, std::size_t stem_size, std::tm* local_time) {
    const std::size_t size = std::strlen(name);
    if (size < summary_prefix_size + summary_suffix_size ||
        std::strcmp(name + size - summary_suffix_size, summary_suffix) != 0 ||
        !parse_stamp(name, size - summary_suffix_size, summary_prefix, local_time))
        return false;
    const int stamp = static_cast<int>(size - summary_suffix_size - summary_prefix_size);
    const int written = std::snprintf(stem, stem_size, "%s%.*s", data_file_name_prefix, stamp,
                                      name + summary_prefix_size);
    return written > 0 && static_cast<std::size_t>(written) < stem_size;
}

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}
