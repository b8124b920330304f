// The data file as every program of the project reads or writes it: its
// name, its header, its rows and the unit conversion behind them. The
// recorder writes exactly this; the inspector and the archiver rely on it.
#ifndef ACC_DATA_FORMAT_H
#define ACC_DATA_FORMAT_H

#include <cstddef>
#include <cstdint>

// "<out_dir>/ai0_accel_YYYYMMDD_HHMMSS.csv"; a name already taken in the same
// second gets "_2", "_3", ... before ".csv".
constexpr char data_file_name_format[] = "%s/ai0_accel_%04d%02d%02d_%02d%02d%02d.csv";
constexpr char data_file_name_prefix[] = "ai0_accel_";
constexpr char data_file_name_suffix[] = ".csv";

constexpr char data_file_header[] = "Time(s),Volt(V),Accel(g),Accel(m/s^2)\n";
constexpr std::size_t data_file_header_size = sizeof(data_file_header) - 1;

// Every field is "%.6f": fixed point, six decimals, a decimal point whatever
// the locale.
constexpr char row_format[] = "%.6f,%.6f,%.6f,%.6f\n";
constexpr int row_decimals = 6;

// One field as the recorder writes nearly all of them, read where speed
// matters: "-"? 1 to `max_digits` integer digits without a leading zero,
// ".", six decimals, then `stop` ('\0': `end` itself). Sets `*negative` and
// the magnitude in millionths, and returns the byte after `stop`; nullptr
// for anything else, which a full parse may then examine.
inline const char* scan_field(const char* s, const char* end, char stop, int max_digits,
                              bool* negative, std::uint64_t* millionths) {
    *negative = s < end && *s == '-';
    s += *negative;
    const char* digits = s;
    std::uint64_t n = 0;  // may wrap with too many digits, then refused
    while (s < end && static_cast<unsigned>(*s - '0') < 10)
        n = n * 10 + static_cast<unsigned>(*s++ - '0');
    const std::ptrdiff_t integer_digits = s - digits;
    if (integer_digits == 0 || integer_digits > max_digits ||
        (integer_digits > 1 && *digits == '0'))
        return nullptr;
    if (end - s < 1 + row_decimals || *s != '.') return nullptr;
    ++s;
    for (int i = 0; i < row_decimals; ++i, ++s) {
        const unsigned d = static_cast<unsigned>(*s - '0');
        if (d >= 10) return nullptr;
        n = n * 10 + d;
    }
    if (stop != '\0' ? (s == end || *s != stop) : s != end) return nullptr;
    *millionths = n;
    return s + 1;
}

// The longest field: "-", the 309 integer digits of the largest double, "."
// and six decimals. Four of them, three commas and the line feed make a row.
constexpr std::size_t max_field_size = 1 + 309 + 1 + 6;
constexpr std::size_t max_row_size = 4 * max_field_size + 4;

// The archiver compresses a file as a run of independent zstd frames of at
// most this many bytes each, every frame header telling its size: the
// inspector decompresses each in one call straight into the buffer it
// checks, without a window to keep.
constexpr std::size_t compressed_frame_content = std::size_t{1} << 20;

// Metres per second squared per g.
constexpr double standard_gravity = 9.80665;

// The unit conversion of one voltage, in two steps so that every program
// computes exactly the same doubles: a division by the sensitivity, then
// the product with standard gravity.
inline double accel_g_of(double volt, double sensitivity_v_per_g) {
    return volt / sensitivity_v_per_g;
}
inline double accel_ms2_of(double accel_g) { return accel_g * standard_gravity; }

// The time between rows of one block.
inline double sample_step_s(double sample_rate_hz) { return 1.0 / sample_rate_hz; }

#endif
