// The benchmarks' yardstick: the straightforward row writer, one fprintf per
// row, linked into a recorder of their own in place of src/block_writer.cpp.
#include "data_file.h"

#include <cerrno>

namespace {

int errno_or_io() { return errno ? errno : EIO; }

}  // namespace

int write_block(std::FILE* stream, char*, const double* volts, std::uint32_t count, double rel,
                double dt, double sensitivity_v_per_g, std::uint64_t* bytes_written) {
    std::uint64_t bytes = 0;
    errno = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        double accel_g = accel_g_of(volts[i], sensitivity_v_per_g);
        int size = std::fprintf(stream, row_format, rel + static_cast<double>(i) * dt, volts[i],
                                accel_g, accel_ms2_of(accel_g));
        if (size < 0) return errno_or_io();
        bytes += static_cast<std::uint64_t>(size);
    }
    if (std::fflush(stream) != 0) return errno_or_io();
    *bytes_written += bytes;
    return 0;
}
