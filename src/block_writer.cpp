// The row writer of one block, in a file of its own so that the benchmarks
// can build the recorder with their yardstick in its place.
#include "data_file.h"

#include "file_io.h"

#include <cerrno>

int write_block(std::FILE* stream, char* row_text, const double* volts, std::uint32_t count,
                double rel, double dt, double sensitivity_v_per_g, std::uint64_t* bytes_written) {
    std::uint64_t bytes = 0;
    std::size_t used = 0;
    errno = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (row_text_size - used < max_row_size) {
            if (std::fwrite(row_text, 1, used, stream) != used) return errno_or_io();
            bytes += used;
            used = 0;
        }
        double time_s = rel + static_cast<double>(i) * dt;
        used += format_row(row_text + used, time_s, volts[i], sensitivity_v_per_g);
    }
    if (std::fwrite(row_text, 1, used, stream) != used) return errno_or_io();
    bytes += used;
    if (std::fflush(stream) != 0) return errno_or_io();
    *bytes_written += bytes;
    return 0;
}
