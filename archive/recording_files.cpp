#include "recording_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "recorded_file.h"

namespace {

constexpr std::size_t prefix_size = sizeof(data_file_name_prefix) - 1;
// "YYYYMMDD_HHMMSS"
constexpr std::size_t stamp_size = 15;
// The recorder numbers a taken name "_2" up to "_999".
constexpr unsigned largest_number = 999;
// A provenance file is a small object; anything larger is not one.
constexpr std::size_t largest_sidecar = std::size_t{64} * 1024;

bool ends_with(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

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

// "ai0_accel_YYYYMMDD_HHMMSS" or "..._N" with 2 <= N <= 999; the local time.
bool parse_stem(const std::string& stem, std::time_t* local_time) {
    const char* text = stem.c_str();
    if (stem.size() < prefix_size + stamp_size ||
        std::strncmp(text, data_file_name_prefix, prefix_size) != 0)
        return false;
    const char* stamp = text + prefix_size;
    if (!all_digits(stamp, 8) || stamp[8] != '_' || !all_digits(stamp + 9, 6)) return false;
    const std::size_t rest = stem.size() - prefix_size - stamp_size;
    if (rest != 0) {
        const char* number = stamp + stamp_size;
        if (rest < 2 || rest > 4 || number[0] != '_' || number[1] == '0' ||
            !all_digits(number + 1, rest - 1))
            return false;
        const int n = number_at(number + 1, rest - 1);
        if (n < 2 || n > static_cast<int>(largest_number)) return false;
    }
    std::tm local{};
    local.tm_year = number_at(stamp, 4) - 1900;
    local.tm_mon = number_at(stamp + 4, 2) - 1;
    local.tm_mday = number_at(stamp + 6, 2);
    local.tm_hour = number_at(stamp + 9, 2);
    local.tm_min = number_at(stamp + 11, 2);
    local.tm_sec = number_at(stamp + 13, 2);
    local.tm_isdst = -1;
    if (local.tm_mon > 11 || local.tm_mday < 1 || local.tm_mday > 31 || local.tm_hour > 23 ||
        local.tm_min > 59 || local.tm_sec > 60)
        return false;
    *local_time = std::mktime(&local);
    return true;
}

// The start time a provenance file gives, if any: "start_utc": "<instant>".
bool read_sidecar_start(int dir_fd, const std::string& name, double* start_s) {
    int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char text[largest_sidecar + 1];
    std::size_t size = 0;
    for (;;) {
        ssize_t got = read(fd, text + size, largest_sidecar - size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size += static_cast<std::size_t>(got);
        if (size == largest_sidecar) break;
    }
    close(fd);
    text[size] = '\0';
    const char* key = std::strstr(text, "\"start_utc\"");
    if (!key) return false;
    const char* p = key + std::strlen("\"start_utc\"");
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    if (*p++ != ':') return false;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    if (*p++ != '"') return false;
    const char* end = std::strchr(p, '"');
    if (!end || end - p > 40) return false;
    const std::string instant(p, static_cast<std::size_t>(end - p));
    return parse_utc_instant(instant.c_str(), start_s);
}

// A regular file by this name, not followed if it is a link.
bool regular_file(int dir_fd, const std::string& name, struct stat* status) {
    return fstatat(dir_fd, name.c_str(), status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(status->st_mode);
}

std::uint64_t allocated_bytes(const struct stat& status) {
    return static_cast<std::uint64_t>(status.st_blocks) * 512u;
}

int unlink_if_there(int dir_fd, const std::string& name) {
    if (unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
    return errno;
}

}  // namespace

bool parse_utc_instant(const char* text, double* seconds) {
    const std::size_t n = std::strlen(text);
    // "YYYY-MM-DDTHH:MM:SS" then optional fraction, then "Z".
    if (n < 20 || text[n - 1] != 'Z' || !all_digits(text, 4) || text[4] != '-' ||
        !all_digits(text + 5, 2) || text[7] != '-' || !all_digits(text + 8, 2) || text[10] != 'T' ||
        !all_digits(text + 11, 2) || text[13] != ':' || !all_digits(text + 14, 2) ||
        text[16] != ':' || !all_digits(text + 17, 2))
        return false;
    double fraction = 0.0;
    if (n > 20) {
        if (text[19] != '.' || n < 22 || !all_digits(text + 20, n - 21)) return false;
        double scale = 0.1;
        for (std::size_t i = 20; i + 1 < n; ++i) {
            fraction += (text[i] - '0') * scale;
            scale /= 10.0;
        }
    }
    std::tm utc{};
    utc.tm_year = number_at(text, 4) - 1900;
    utc.tm_mon = number_at(text + 5, 2) - 1;
    utc.tm_mday = number_at(text + 8, 2);
    utc.tm_hour = number_at(text + 11, 2);
    utc.tm_min = number_at(text + 14, 2);
    utc.tm_sec = number_at(text + 17, 2);
    if (utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_hour > 23 || utc.tm_min > 59 ||
        utc.tm_sec > 60)
        return false;
    *seconds = static_cast<double>(timegm(&utc)) + fraction;
    return true;
}

bool parse_file_name(const char* name, parsed_name* parsed) {
    std::string text(name);
    const std::string data_suffix = data_file_name_suffix;
    const bool hidden = text.compare(0, std::strlen(temporary_prefix), temporary_prefix) == 0;
    if (hidden &&
        (ends_with(text, temporary_suffix) || ends_with(text, compact_temporary_suffix))) {
        parsed->kind = file_kind::temporary;
        text = text.substr(std::strlen(temporary_prefix));
        text.resize(text.size() - std::strlen(temporary_suffix));
        if (!ends_with(text, data_file_name_suffix)) return false;
        text.resize(text.size() - data_suffix.size());
    } else if (ends_with(text, (data_suffix + compressed_suffix).c_str())) {
        parsed->kind = file_kind::compressed;
        text.resize(text.size() - data_suffix.size() - std::strlen(compressed_suffix));
    } else if (ends_with(text, (data_suffix + compact_suffix).c_str())) {
        parsed->kind = file_kind::compact;
        text.resize(text.size() - data_suffix.size() - std::strlen(compact_suffix));
    } else if (ends_with(text, data_file_name_suffix)) {
        parsed->kind = file_kind::data;
        text.resize(text.size() - data_suffix.size());
    } else if (ends_with(text, sidecar_suffix)) {
        parsed->kind = file_kind::sidecar;
        text.resize(text.size() - std::strlen(sidecar_suffix));
    } else {
        return false;
    }
    if (!parse_stem(text, &parsed->name_time)) return false;
    parsed->stem = text;
    return true;
}

int scan_directory(int dir_fd, std::vector<recording>* recordings,
                   std::vector<std::string>* temporaries) {
    recordings->clear();
    temporaries->clear();
    // The stream gets a descriptor of its own: closedir closes it.
    int listing_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing_fd < 0) return errno;
    DIR* listing = fdopendir(listing_fd);
    if (!listing) {
        int error = errno;
        close(listing_fd);
        return error;
    }
    std::vector<parsed_name> names;
    for (;;) {
        errno = 0;
        // cppcheck-suppress readdirCalled ; the stream is this function's alone
        const dirent* entry = readdir(listing);
        if (!entry) break;
        parsed_name parsed{};
        struct stat status {};
        if (!parse_file_name(entry->d_name, &parsed)) continue;
        if (parsed.kind != file_kind::temporary)
            names.push_back(parsed);
        else if (regular_file(dir_fd, entry->d_name, &status))
            temporaries->push_back(entry->d_name);
    }
    int error = errno;
    closedir(listing);
    if (error != 0) return error;

    std::sort(names.begin(), names.end(),
              [](const parsed_name& a, const parsed_name& b) { return a.stem < b.stem; });
    for (const parsed_name& parsed : names) {
        if (recordings->empty() || recordings->back().stem != parsed.stem)
            recordings->push_back(recording{parsed.stem, data_state::absent, false, false,
                                            static_cast<double>(parsed.name_time), 0, 0, false});
        recording& rec = recordings->back();
        struct stat status {};
        if (parsed.kind == file_kind::data) {
            const std::string name = rec.stem + data_file_name_suffix;
            int fd = -1;
            if (open_data_file(dir_fd, name.c_str(), &rec.data, &fd) != 0)
                rec.data = data_state::not_recording;
            if (fd >= 0 && fstat(fd, &status) == 0) {
                rec.end_s = std::max(rec.end_s, status.st_mtime);
                rec.bytes_on_disk += allocated_bytes(status);
            }
            if (fd >= 0) close(fd);
        } else if (parsed.kind == file_kind::compressed || parsed.kind == file_kind::compact) {
            const bool compact = parsed.kind == file_kind::compact;
            const std::string name =
                rec.stem + data_file_name_suffix + (compact ? compact_suffix : compressed_suffix);
            if (!regular_file(dir_fd, name, &status)) continue;
            rec.compressed = true;
            rec.compact = rec.compact || compact;
            rec.end_s = std::max(rec.end_s, status.st_mtime);
            rec.bytes_on_disk += allocated_bytes(status);
        } else {
            const std::string name = rec.stem + sidecar_suffix;
            rec.sidecar = regular_file(dir_fd, name, &status);
            if (!rec.sidecar) continue;
            rec.bytes_on_disk += allocated_bytes(status);
            read_sidecar_start(dir_fd, name, &rec.start_s);
        }
    }
    std::stable_sort(recordings->begin(), recordings->end(),
                     [](const recording& a, const recording& b) { return a.start_s < b.start_s; });
    return 0;
}

std::string archived_name(const recording& rec) {
    return rec.stem + data_file_name_suffix + (rec.compact ? compact_suffix : compressed_suffix);
}

bool compressed_is_recorders(int dir_fd, const recording& rec) {
    if (!rec.compressed) return true;
    int fd =
        openat(dir_fd, archived_name(rec).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool recorded = fd >= 0 && compressed_starts_with_header(fd);
    if (fd >= 0) close(fd);
    return recorded;
}

int delete_recording(int dir_fd, const recording& rec) {
    if (rec.data == data_state::finished) {
        int error = unlink_if_there(dir_fd, rec.stem + data_file_name_suffix);
        if (error != 0) return error;
    }
    // Both archived forms, should a run have left both.
    if (rec.compressed) {
        int error = unlink_if_there(dir_fd, rec.stem + data_file_name_suffix + compressed_suffix);
        if (error == 0)
            error = unlink_if_there(dir_fd, rec.stem + data_file_name_suffix + compact_suffix);
        if (error != 0) return error;
    }
    if (rec.sidecar) {
        int error = unlink_if_there(dir_fd, rec.stem + sidecar_suffix);
        if (error != 0) return error;
    }
    return sync_directory_fd(dir_fd);
}

int remove_temporary(int dir_fd, const std::string& name) { return unlink_if_there(dir_fd, name); }

int sync_directory_fd(int dir_fd) { return fsync(dir_fd) == 0 ? 0 : errno; }
