// Running the real recorder against the simulated device in a directory of
// its own, and reading what it left behind.
#ifndef ACC_TESTS_RECORDER_FIXTURE_H
#define ACC_TESTS_RECORDER_FIXTURE_H

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "program_runner.h"

struct read_call {
    int result;
    std::uint32_t delivered;
    std::uint64_t first;
};

class RecorderTest : public ::testing::Test {
protected:
    std::string dir;
    std::string recordings;
    std::string log_path;

    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        recordings = dir + "/recordings";
        ASSERT_EQ(mkdir(recordings.c_str(), 0755), 0);
        log_path = dir + "/device.log";
    }
    void TearDown() override {
        if (!HasFailure())
            remove_tree(dir);
        else
            std::fprintf(stderr, "kept %s for inspection\n", dir.c_str());
    }

    program_options recorder(std::vector<std::string> env = {}) const {
        program_options options;
        options.path = RECORDER_PATH;
        options.cwd = dir;
        options.env = std::move(env);
        options.env.push_back("ACTS2200_SIM_LOG=" + log_path);
        return options;
    }

    std::string log() const { return read_file(log_path); }

    // The device calls in order, by name.
    std::vector<std::string> calls() const {
        std::vector<std::string> names;
        for (const std::string& line : split_lines(log()))
            names.push_back(line.substr(0, line.find(' ')));
        return names;
    }

    std::vector<read_call> reads() const {
        std::vector<read_call> found;
        for (const std::string& line : lines_starting_with(log(), "AI_ReadAnalog ")) {
            read_call call{};
            std::size_t arrow = line.find("-> ");
            call.result = std::stoi(line.substr(arrow + 3));
            std::size_t delivered = line.find("delivered=");
            if (delivered != std::string::npos)
                call.delivered =
                    static_cast<std::uint32_t>(std::stoul(line.substr(delivered + 10)));
            std::size_t first = line.find("first=");
            if (first != std::string::npos) call.first = std::stoull(line.substr(first + 6));
            found.push_back(call);
        }
        return found;
    }

    // The one data file the run created, relative to the run's directory.
    std::string only_recording() const {
        std::vector<std::string> names = list_data_files(recordings);
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? std::string() : "recordings/" + names.front();
    }

    // Sends the signal once the device has delivered `reads` blocks.
    void signal_after_reads(const child_process& child, int sig, std::size_t count) const {
        ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", count, 30.0));
        kill(child.pid, sig);
    }
};

#endif
