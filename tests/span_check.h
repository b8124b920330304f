// The data files of a run with a file span, in the order the recorder
// announced them, and their rows joined under one header: what one file of
// the same run without a span would hold.
#ifndef ACC_TESTS_SPAN_CHECK_H
#define ACC_TESTS_SPAN_CHECK_H

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "data_format.h"
#include "program_runner.h"
#include "recording_check.h"

struct span_run {
    std::vector<std::string> files;  // as announced, relative to the run's directory
    std::vector<std::size_t> rows;   // of each file
    std::string joined;
};

inline span_run read_span_run(const std::string& dir, const std::string& out) {
    span_run run;
    run.joined = data_file_header;
    for (const std::string& line : lines_starting_with(out, "Output file: ")) {
        run.files.push_back(line.substr(13));
        const std::string content = read_file(dir + "/" + run.files.back());
        EXPECT_EQ(content.compare(0, data_file_header_size, data_file_header), 0)
            << run.files.back() << " has no header";
        run.joined += content.substr(std::min(content.size(), data_file_header_size));
        run.rows.push_back(static_cast<std::size_t>(
            std::max<long>(std::count(content.begin(), content.end(), '\n') - 1, 0)));
    }
    return run;
}

// Every delivered sample in exactly one of the run's files, in order, each
// file beginning where the one before it ended; nothing beyond. Returns the
// first time of every block, in µs.
inline std::vector<std::int64_t> check_span_blocks(const std::string& dir, const span_run& run,
                                                   const std::vector<read_call>& reads) {
    std::vector<std::int64_t> blocks;
    read_position at{};
    std::uint64_t rows = 0;
    for (const std::string& file : run.files) {
        std::string path = dir;
        path += "/";
        path += file;
        file_check check = check_data_file(path, reads, {}, at);
        EXPECT_EQ(check.fault, "") << file;
        if (!check.fault.empty()) return blocks;
        blocks.insert(blocks.end(), check.block_times_us.begin(), check.block_times_us.end());
        rows += check.rows;
        at = check.end;
    }
    EXPECT_EQ(rows, delivered_rows(reads)) << "every delivered sample is in one of the files";
    return blocks;
}

#endif
