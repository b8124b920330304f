// Checks a recording against the device's call log, block by block, each row
// byte for byte against snprintf.
#ifndef ACC_TESTS_BLOCK_CHECK_H
#define ACC_TESTS_BLOCK_CHECK_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "recorder_fixture.h"
#include "row_check.h"
#include "sim_signal.h"

constexpr std::uint32_t block_rows = 1000;
constexpr double block_rate_hz = 10000.0;

// The voltage of absolute sample n: `values` cyclically, as the simulator's
// ACTS2200_SIM_VALUES delivers them, or its signal when empty.
inline double delivered_volts(const std::vector<double>& values, std::uint64_t n) {
    return values.empty() ? sim_sample_volts(n, block_rate_hz) : values[n % values.size()];
}

// One block of rows per successful read, in order and nothing else; a row is
// what snprintf("%.6f,%.6f,%.6f,%.6f\n") prints for the sample it stands for,
// its time a strict "%.6f" field rel + i / 10000 s into its block. Returns
// the first time of every block, in µs; stops at the first fault.
inline std::vector<std::int64_t> check_blocks(const std::string& content,
                                              const std::vector<read_call>& reads,
                                              const std::vector<double>& values) {
    std::vector<std::int64_t> block_times;
    if (content.compare(0, data_file_header_size, data_file_header) != 0) {
        ADD_FAILURE() << "bad header";
        return block_times;
    }
    std::size_t pos = data_file_header_size;
    std::uint64_t row_number = 2;
    for (const read_call& call : reads) {
        if (call.result == 0) continue;
        const std::uint32_t rows = call.delivered < block_rows ? call.delivered : block_rows;
        std::int64_t block_time = 0;
        for (std::uint32_t i = 0; i < rows; ++i, ++row_number) {
            const std::size_t newline = content.find('\n', pos);
            if (newline == std::string::npos) {
                ADD_FAILURE() << "the file ends before row " << row_number;
                return block_times;
            }
            const std::string line = content.substr(pos, newline + 1 - pos);
            pos = newline + 1;
            const char* cursor = line.c_str();
            fixed6_field time{};
            const double volt = delivered_volts(values, call.first + i);
            const std::string expected = reference_row(0.0, volt);
            if (!parse_fixed6_field(&cursor, line.c_str() + line.size(), ',', &time) ||
                line.compare(static_cast<std::size_t>(cursor - line.c_str()), std::string::npos,
                             expected, expected.find(',') + 1, std::string::npos) != 0) {
                ADD_FAILURE() << "row " << row_number << " is " << line << "sample "
                              << call.first + i << " gives 'time"
                              << expected.substr(expected.find(','));
                return block_times;
            }
            if (i == 0) {
                block_time = micro_units(time);
                block_times.push_back(block_time);
            }
            if (std::llabs(micro_units(time) - block_time - 100 * static_cast<std::int64_t>(i)) >
                1) {
                ADD_FAILURE() << "row " << row_number << ": " << line << " is not " << block_time
                              << " µs + " << i << " / 10000 s";
                return block_times;
            }
        }
    }
    EXPECT_EQ(pos, content.size()) << "rows beyond the delivered samples, from row " << row_number;
    return block_times;
}

inline std::uint64_t delivered_rows(const std::vector<read_call>& reads) {
    std::uint64_t rows = 0;
    for (const read_call& call : reads)
        if (call.result != 0) rows += call.delivered < block_rows ? call.delivered : block_rows;
    return rows;
}

inline std::uint64_t summary_count(const std::string& out) {
    std::vector<std::string> line = lines_starting_with(out, "Total points: ");
    return line.size() == 1 ? std::stoull(line[0].substr(14)) : ~0ull;
}

#endif
