#include "data_file.h"

#include "file_io.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <stdio_ext.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Creates `path` exclusively, so an earlier recording is never emptied, and
// locks it at once: other programs tell a file still being recorded by the
// lock. Returns 0 or an errno value; a file that cannot be locked is removed.
int create_locked(const char* path, std::FILE** stream) {
    std::FILE* file = std::fopen(path, "wx");
    if (!file) return errno;
    if (flock(fileno(file), LOCK_EX) != 0) {
        int error = errno;
        std::fclose(file);
        unlink(path);
        return error;
    }
    *stream = file;
    return 0;
}

}  // namespace

int create_data_file(char* path, std::size_t path_size, std::FILE** stream) {
    char candidate[csv_path_size];
    if (path_size > sizeof candidate) return ENAMETOOLONG;
    int error = create_locked(path, stream);
    for (unsigned n = 2; error == EEXIST && n <= max_name_suffix; ++n) {
        if (!format_numbered_path(candidate, path_size, path, n)) return ENAMETOOLONG;
        error = create_locked(candidate, stream);
        if (error == 0) std::memcpy(path, candidate, std::strlen(candidate) + 1);
    }
    return error;
}

std::time_t next_file_start(std::time_t start, std::uint32_t span_s) {
    std::tm local{};
    if (span_s == 0 || !localtime_r(&start, &local)) return -1;
    const long into_day = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
    // From the start's own slot to the next midnight and one more: when the
    // clock goes back, the slot's boundary comes a second time, after the
    // start; when it goes forward, a boundary may not exist at all.
    for (long k = into_day / span_s; k <= 86400L / span_s + 1; ++k) {
        const long from_midnight_s = k * static_cast<long>(span_s);
        std::time_t earliest = -1;
        for (int dst : {0, 1}) {
            std::tm wanted = local;
            wanted.tm_hour = 0;
            wanted.tm_min = 0;
            wanted.tm_sec = static_cast<int>(from_midnight_s);
            wanted.tm_isdst = dst;
            std::time_t at = std::mktime(&wanted);
            // Only a moment the local clock really shows counts.
            const bool shown = wanted.tm_hour == from_midnight_s / 3600 % 24 &&
                               wanted.tm_min == from_midnight_s / 60 % 60 &&
                               wanted.tm_sec == from_midnight_s % 60;
            if (at != -1 && at > start && shown && (earliest == -1 || at < earliest)) earliest = at;
        }
        if (earliest != -1) return earliest;
    }
    return -1;
}

std::size_t format_row(char* out, double time_s, double volt, double sensitivity_v_per_g) {
    double accel_g = accel_g_of(volt, sensitivity_v_per_g);
    double accel_ms2 = accel_ms2_of(accel_g);
    const double fields[] = {time_s, volt, accel_g, accel_ms2};
    char* end = out;
    for (double field : fields) {
        end = format_fixed6(end, field);
        *end++ = ',';
    }
    end[-1] = '\n';
    return static_cast<std::size_t>(end - out);
}

int write_header(std::FILE* stream) {
    errno = 0;
    if (std::fwrite(data_file_header, 1, data_file_header_size, stream) != data_file_header_size)
        return errno_or_io();
    if (std::fflush(stream) != 0) return errno_or_io();
    return 0;
}

int cut_back_data_file(std::FILE* stream, off_t good_size) {
    // Whatever the stream still holds belongs to the failed block: drop it so
    // that closing the stream cannot append a partial row after the cut.
    __fpurge(stream);
    if (ftruncate(fileno(stream), good_size) != 0) return errno;
    return 0;
}

int sync_data_file(std::FILE* stream) {
    if (std::fflush(stream) != 0) return errno_or_io();
    if (fsync(fileno(stream)) != 0) return errno;
    return 0;
}

int close_data_file(std::FILE* stream) {
    errno = 0;
    if (std::fclose(stream) != 0) return errno_or_io();
    return 0;
}
