// Fuzzes acc_inspect's row parser and streaming reader: no input may crash
// them, read outside their buffers, or be accepted unless it is exactly what
// "%.6f" prints.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "csv_reader.h"
#include "data_format.h"

namespace {

// An accepted field must print back to itself: the parser takes nothing
// "%.6f" would not write. Past 15 significant digits a double cannot hold
// the text exactly, so only smaller values are compared.
void check_field(const char* text, std::size_t size, double value) {
    if (!(value > -1e9 && value < 1e9)) return;
    char printed[64];
    int n = std::snprintf(printed, sizeof printed, "%.6f", value);
    if (n < 0 || static_cast<std::size_t>(n) != size || std::memcmp(printed, text, size) != 0)
        __builtin_trap();
}

void check_row(const char* line, std::size_t size) {
    csv_row row;
    row_problem problem{};
    if (parse_row(line, size, &row, &problem)) {
        const double values[4] = {row.time_s, row.volt, row.accel_g, row.accel_ms2};
        const char* first = line;
        for (int field = 0; field < 4; ++field) {
            const char* end = line + size;
            const char* last =
                field < 3 ? static_cast<const char*>(std::memchr(first, ',', end - first)) : end;
            if (!last) __builtin_trap();
            check_field(first, static_cast<std::size_t>(last - first), values[field]);
            first = last + 1;
        }
        return;
    }
    if (problem.fault == row_fault::none || problem.field < 0 || problem.field > 4 ||
        problem.column > size + 1)
        __builtin_trap();
    char message[256];
    read_failure failure{read_fault::bad_row, 0, 2, problem, {}};
    describe_read_failure(failure, 0, message, sizeof message);
}

// The whole reader over the input, behind a valid header when the first
// byte is even, with the smallest buffer so that lines cross refills.
void check_reader(const std::uint8_t* data, std::size_t size) {
    int fd = memfd_create("inspect_row_fuzz", 0);
    if (fd < 0) return;
    bool ok = true;
    if (size > 0 && data[0] % 2 == 0)
        ok = write(fd, data_file_header, data_file_header_size) ==
             static_cast<ssize_t>(data_file_header_size);
    if (ok && size > 1) ok = write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1);
    if (ok && lseek(fd, 0, SEEK_SET) == 0) {
        csv_reader reader;
        if (csv_reader_attach(&reader, fd, 0) == 0) {
            csv_row row;
            read_status status;
            std::uint64_t rows = 0;
            while ((status = csv_reader_next(&reader, &row)) == read_status::row) ++rows;
            if (rows != reader.rows) __builtin_trap();
            if (status == read_status::failed) {
                char message[512];
                describe_read_failure(reader.failure, reader.rows, message, sizeof message);
                if (reader.failure.line == 0) __builtin_trap();
            }
            csv_reader_close(&reader);
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that the address sanitizer sees any overread.
    char* line = static_cast<char*>(std::malloc(size ? size : 1));
    if (!line) return 0;
    if (size) std::memcpy(line, data, size);
    check_row(line, size);
    std::free(line);
    check_reader(data, size);
    return 0;
}
