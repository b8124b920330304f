// What the recorder leaves behind, checked one way for every end-to-end
// test: a data file against the simulated device's call log, and the
// summary it prints when it stops. Nothing here asserts; each check returns
// what it found and the test decides.
#ifndef ACC_TESTS_RECORDING_CHECK_H
#define ACC_TESTS_RECORDING_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

// The recorder's default settings: 10 kHz, blocks of 1000, 500 mV/g.
constexpr std::uint32_t block_rows = 1000;
constexpr double block_rate_hz = 10000.0;

// One AI_ReadAnalog call of the simulator's log.
struct read_call {
    int result;               // 1 when it delivered, 0 when it failed
    std::uint32_t delivered;  // the count the device claimed
    std::uint64_t first;      // the absolute number of its first sample
};

// The AI_ReadAnalog calls of a log, in order.
std::vector<read_call> parse_reads(const std::string& log);

// The rows a recorder owes for `reads`: each successful read's claimed
// count, at most a block.
std::uint64_t delivered_rows(const std::vector<read_call>& reads);

// How many successful reads do not begin where the successful ones before ended.
std::size_t skipped_reads(const std::vector<read_call>& reads);

// What the simulated device filled its blocks with.
struct device_samples {
    // ACTS2200_SIM_VALUES, repeated; empty: the simulated signal.
    std::vector<double> values;
    // ACTS2200_SIM_OVER_REPORT: the slots a read claimed beyond those it
    // filled, whose rows must read nan and never an earlier sample.
    std::uint32_t over_report = 0;
};

// The next row a check expects: a read, a row of its block, and the block's
// first time once seen. A recording split over several files goes on in the
// next file where the last one stopped.
struct read_position {
    std::size_t read = 0;
    std::uint32_t row = 0;
    std::int64_t block_time_us = 0;
};

struct file_check {
    std::string fault;               // empty when the header and every row are right
    bool cut_short = false;          // the fault is a last line without its line end
    std::uint64_t rows = 0;          // right rows before the fault, if any
    std::int64_t first_time_us = 0;  // the first and last of those rows' times
    std::int64_t last_time_us = 0;
    std::vector<std::int64_t> block_times_us;  // first time of each block begun here
    read_position end;                         // where the next file would go on
};

// Checks the data file at `path`: the header, then for each successful read
// from `from` on, one row per sample it delivered (at most a block), each
// byte for byte what snprintf("%.6f,%.6f,%.6f,%.6f\n") prints for that sample
// and its unit columns at 500 mV/g, its time the block's first plus i / 10 kHz
// to a microsecond. Stops at the first fault. The file may end after any
// row; a row beyond the delivered samples is a fault. Streams, so that files
// of millions of rows need no memory.
file_check check_data_file(const std::string& path, const std::vector<read_call>& reads,
                           const device_samples& samples = {}, read_position from = {});

// check_data_file on a recording held in one file, which must also hold
// every delivered sample.
file_check check_recording(const std::string& path, const std::vector<read_call>& reads,
                           const device_samples& samples = {});

// The summary the recorder prints. A line that is missing or printed more
// than once leaves its field at the value given here.
struct run_summary {
    std::string output_file;                  // "Output file: <path>"
    std::uint64_t total_points = UINT64_MAX;  // "Total points: <n>"
    double total_time_s = -1.0;               // "Total time: <s> seconds"
    double rate_hz = -1.0;                    // "Approx. effective rate: <r> Hz"
    std::string saved_to;                     // "Done. Data saved to <path>"
};

// Reads the summary from a run's console text, "\n" or "\r\n" line ends.
run_summary parse_summary(const std::string& console);

#endif
