#include "data_file.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdio_ext.h>
#include <unistd.h>

void format_csv_path(char* path, std::size_t path_size, const char* out_dir,
                     const std::tm& local_time) {
    // A result longer than the buffer is cut short, not refused.
    std::snprintf(path, path_size, "%s/ai0_accel_%04d%02d%02d_%02d%02d%02d.csv", out_dir,
                  local_time.tm_year + 1900, local_time.tm_mon + 1, local_time.tm_mday,
                  local_time.tm_hour, local_time.tm_min, local_time.tm_sec);
}

bool format_numbered_path(char* out, std::size_t out_size, const char* path, unsigned n) {
    static constexpr char ending[] = ".csv";
    constexpr std::size_t ending_size = sizeof(ending) - 1;
    std::size_t length = std::strlen(path);
    bool has_ending = length >= ending_size &&
                      std::memcmp(path + length - ending_size, ending, ending_size) == 0;
    std::size_t stem = has_ending ? length - ending_size : length;
    int written = std::snprintf(out, out_size, "%.*s_%u%s", static_cast<int>(stem), path, n,
                                has_ending ? ending : "");
    return written > 0 && static_cast<std::size_t>(written) < out_size;
}

int create_data_file(char* path, std::size_t path_size, std::FILE** stream) {
    char candidate[csv_path_size];
    if (path_size > sizeof candidate) return ENAMETOOLONG;
    // "x": created exclusively, so an earlier recording is never emptied.
    std::FILE* file = std::fopen(path, "wx");
    if (file) {
        *stream = file;
        return 0;
    }
    int error = errno;
    for (unsigned n = 2; error == EEXIST && n <= max_name_suffix; ++n) {
        if (!format_numbered_path(candidate, path_size, path, n)) return ENAMETOOLONG;
        file = std::fopen(candidate, "wx");
        if (file) {
            std::memcpy(path, candidate, std::strlen(candidate) + 1);
            *stream = file;
            return 0;
        }
        error = errno;
    }
    return error;
}

namespace {

// std::to_chars is specified to give printf's digits in the "C" locale, so
// rows do not change with the user's LC_NUMERIC.
char* put_field(char* out, double value) {
    return std::to_chars(out, out + max_field_size, value, std::chars_format::fixed,
                         row_decimals)
        .ptr;
}

int errno_or_io() { return errno != 0 ? errno : EIO; }

}  // namespace

std::size_t format_row(char* out, double time_s, double volt, double sensitivity_v_per_g) {
    double accel_g = accel_g_of(volt, sensitivity_v_per_g);
    double accel_ms2 = accel_ms2_of(accel_g);
    char* end = put_field(out, time_s);
    *end++ = ',';
    end = put_field(end, volt);
    *end++ = ',';
    end = put_field(end, accel_g);
    *end++ = ',';
    end = put_field(end, accel_ms2);
    *end++ = '\n';
    return static_cast<std::size_t>(end - out);
}

int write_header(std::FILE* stream) {
    errno = 0;
    if (std::fwrite(data_file_header, 1, data_file_header_size, stream) != data_file_header_size)
        return errno_or_io();
    if (std::fflush(stream) != 0) return errno_or_io();
    return 0;
}

int write_block(std::FILE* stream, const double* volts, std::uint32_t count, double rel,
                double dt, double sensitivity_v_per_g, std::uint64_t* bytes_written) {
    char row[max_row_size];
    std::uint64_t bytes = 0;
    errno = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        double time_s = rel + static_cast<double>(i) * dt;
        std::size_t size = format_row(row, time_s, volts[i], sensitivity_v_per_g);
        if (std::fwrite(row, 1, size, stream) != size) return errno_or_io();
        bytes += size;
    }
    if (std::fflush(stream) != 0) return errno_or_io();
    *bytes_written += bytes;
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
