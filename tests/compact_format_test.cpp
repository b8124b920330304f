// The compact form: every recording comes back byte for byte, the model
// finds its grid and gains from the data, and damage is named.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "compact_file.h"
#include "compact_format.h"
#include "data_file.h"
#include "sim_signal.h"

namespace {

constexpr double rate_hz = 10000.0;

// Uniform in [0, 1), the same sequence on every run.
double unit_random(std::mt19937_64* source) {
    return static_cast<double>((*source)() >> 11) / 9007199254740992.0;
}

// A device that delivers codes of `bits` bits over +-range_v, with tones
// and Gaussian noise of 10 mV.
double device_volts(std::uint64_t n, int bits, double range_v, std::mt19937_64* source) {
    const double t = static_cast<double>(n) / rate_hz;
    const double radius = std::sqrt(-2.0 * std::log(1.0 - unit_random(source)));
    const double noise = 0.010 * radius * std::cos(6.283185307179586 * unit_random(source));
    const double v = 0.5 + 0.25 * std::sin(6.283185307179586 * 50.0 * t) + noise;
    const double codes = std::ldexp(1.0, bits);
    const double code = std::round((v + range_v) / (2 * range_v) * codes);
    return code * (2 * range_v) / codes - range_v;
}

enum class signal { sim, device16, device24 };

// Rows as the recorder writes them: blocks of 1000 starting a little after
// their last sample.
std::string recording(signal kind, std::uint64_t rows, double sensitivity) {
    std::string text(data_file_header, data_file_header_size);
    char row[max_row_size];
    std::mt19937_64 source(rows);
    double start = 0.0;
    for (std::uint64_t n = 0; n < rows; ++n) {
        const std::uint64_t block = n / 1000;
        if (n % 1000 == 0)
            start = static_cast<double>(block + 1) * 0.1 + 0.0004 * unit_random(&source);
        const double t = start + static_cast<double>(n % 1000) / rate_hz;
        const double v = kind == signal::sim        ? sim_sample_volts(n, rate_hz)
                         : kind == signal::device16 ? device_volts(n, 16, 10.0, &source)
                                                    : device_volts(n, 24, 5.0, &source);
        text.append(row, format_row(row, t, v, sensitivity));
    }
    return text;
}

// The text of every frame that decodes, and the faults met on the way, read
// back as the archiver's restore reads a file.
struct decoded {
    std::string text;
    std::vector<compact_status> faults;
};

decoded decode(const std::vector<unsigned char>& file) {
    decoded out;
    const int fd = memfd_create("compact_test", 0);
    EXPECT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    compact_reader reader{};
    int read_errno = 0;
    compact_status status = compact_reader_open(&reader, fd, &read_errno);
    bool at_end = status != compact_status::ok;
    if (at_end) out.faults.push_back(status);
    while (!at_end) {
        status = compact_reader_next(&reader, &at_end, &read_errno);
        std::string text;
        if (status == compact_status::ok && !at_end) {
            text.resize(reader.header.content_size);
            status = compact_frame_text(reader.codec.frame, text.data(), text.size());
        }
        if (status != compact_status::ok)
            out.faults.push_back(status);
        else
            out.text += text;
    }
    compact_reader_release(&reader);
    close(fd);
    return out;
}

std::string special_rows() {
    std::string text(data_file_header, data_file_header_size);
    const double specials[] = {1e300,     -1e300,   1e-300,        -1e-300,    -0.0, NAN,
                               -HUGE_VAL, 4.9e-324, -4.0000005e-7, 1234567.25, -0.5};
    char row[max_row_size];
    double t = 0.25;
    for (double v : specials) {
        for (int i = 0; i < 3; ++i) text.append(row, format_row(row, t += 1e-4, 0.5, 0.5));
        text.append(row, format_row(row, t += 1e-4, v, 0.5));
    }
    return text;
}

struct round_trip_case {
    const char* name;
    std::string text;
    double most_bytes_per_row;  // 0: no bound
};

TEST(CompactFormat, EveryRecordingComesBackByteForByte) {
    const std::string sim = recording(signal::sim, 40000, 0.5);
    const std::string device = recording(signal::device16, 40000, 0.5);
    std::string foreign = sim.substr(0, 4000);
    foreign += "1.000000, 2.000000,3.000000,4.000000\n0.1,0.2,0.3,0.4\r\n";
    foreign += "00.000000,1.000000,2.000000,3.000000\n";
    foreign += sim.substr(4000, 4000);
    // The columns hold them, but their g lies more than 2^50 off what the
    // frame's gain predicts.
    const std::string far_off = sim.substr(0, sim.find('\n', 4000) + 1) +
                                "0.500000,562949953.421312,1125899906.842624,0.000000\n"
                                "0.500100,1125899906.842624,-1125899906.842624,0.000000\n";
    const std::vector<round_trip_case> cases = {
        {"simulator", sim, 3.0},
        {"16-bit device", device, 1.5},
        {"24-bit device over +-5 V at 100 mV/g", recording(signal::device24, 30000, 0.1), 3.0},
        {"another sensitivity", recording(signal::sim, 5000, 1.02), 3.2},
        {"special values", special_rows(), 0},
        {"cut-short last row", sim.substr(0, sim.size() - 17), 0},
        {"NUL tail", sim.substr(0, 100000) + std::string(3000, '\0'), 0},
        {"cut row then NULs", sim.substr(0, 99990) + std::string(3000, '\0'), 0},
        {"NULs longer than a frame", sim.substr(0, 5000) + std::string(3 << 20, '\0'), 0},
        {"foreign rows", foreign, 0},
        {"values far off their prediction", far_off, 0},
        {"header alone", std::string(data_file_header, data_file_header_size), 0},
        {"one byte", "T", 0},
    };
    for (const round_trip_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<unsigned char> file = compact_file_of(c.text);
        const decoded back = decode(file);
        EXPECT_TRUE(back.faults.empty());
        EXPECT_TRUE(back.text == c.text);
        if (c.most_bytes_per_row > 0) {
            const double rows = static_cast<double>(c.text.size()) / 37.0;
            EXPECT_LT(static_cast<double>(file.size()) / rows, c.most_bytes_per_row);
        }
    }
}

TEST(CompactFormat, DamageCostsItsFrameAloneAndIsNamed) {
    const std::string text = recording(signal::sim, 90000, 0.5);  // three frames and a bit
    const std::vector<unsigned char> file = compact_file_of(text);
    const std::size_t first_cut = compact_frame_cut(text.data(), text.size(), true);
    compact_frame_header first{};
    ASSERT_EQ(compact_read_frame_header(file.data() + compact_file_header_size, &first),
              compact_status::ok);
    const std::size_t second_at =
        compact_file_header_size + compact_frame_header_size + first.payload_size;

    struct damage_case {
        const char* name;
        std::size_t at;  // byte flipped
        compact_status fault;
        std::string text;  // what still comes back
    };
    const std::vector<damage_case> cases = {
        {"payload", compact_file_header_size + compact_frame_header_size + 100,
         compact_status::payload_damaged, text.substr(first_cut)},
        {"frame header", second_at + 5, compact_status::header_damaged,
         text.substr(0, first_cut) +
             text.substr(first_cut + compact_frame_cut(text.data() + first_cut,
                                                       text.size() - first_cut, true))},
        {"magic", 1, compact_status::not_compact, ""},
        {"version", 4, compact_status::unsupported_version, ""},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> damaged = file;
        damaged[c.at] ^= 0x10;
        const decoded back = decode(damaged);
        ASSERT_EQ(back.faults.size(), 1u);
        EXPECT_EQ(back.faults[0], c.fault);
        EXPECT_TRUE(back.text == c.text);
    }

    const std::vector<unsigned char> cut(file.begin(), file.end() - 1000);
    const decoded back = decode(cut);
    ASSERT_EQ(back.faults.size(), 1u);
    EXPECT_EQ(back.faults[0], compact_status::cut_short);
    EXPECT_LT(back.text.size(), text.size());
    EXPECT_EQ(text.compare(0, back.text.size(), back.text), 0);

    // Each fault reads differently.
    const compact_status faults[] = {compact_status::not_compact, compact_status::cut_short,
                                     compact_status::header_damaged,
                                     compact_status::payload_damaged, compact_status::malformed};
    for (compact_status a : faults) {
        for (compact_status b : faults) {
            if (a != b) {
                EXPECT_STRNE(compact_status_text(a), compact_status_text(b));
            }
        }
    }
}

}  // namespace
