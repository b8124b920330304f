// Running the real recorder against the simulated device in a directory of
// its own, and reading what it left behind.
#ifndef ACC_TESTS_RECORDER_FIXTURE_H
#define ACC_TESTS_RECORDER_FIXTURE_H

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "program_runner.h"
#include "recording_check.h"

class RecorderTest : public ::testing::Test {
protected:
    std::string dir, recordings, log_path;

    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
        recordings = dir + "/recordings";
        ASSERT_EQ(mkdir(recordings.c_str(), 0755), 0);
        log_path = dir + "/device.log";
    }
    void TearDown() override { remove_unless_failed(dir, HasFailure()); }

    // The recorder at `path` (the one with a file span: SPAN_RECORDER_PATH).
    program_options recorder(std::vector<std::string> env = {},
                             const char* path = RECORDER_PATH) const {
        program_options options{path, {}, dir, std::move(env)};
        options.env.push_back("ACTS2200_SIM_LOG=" + log_path);
        return options;
    }

    // The recorder with standard input a file that holds `keys`.
    program_options recorder_reading(const std::string& keys,
                                     std::vector<std::string> env = {}) const {
        write_file(dir + "/keys", keys);
        program_options options = recorder(std::move(env));
        options.stdin_path = dir + "/keys";
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

    std::vector<std::string> last_calls(std::size_t count) const {
        std::vector<std::string> names = calls();
        if (names.size() > count)
            names.erase(names.begin(), names.end() - static_cast<std::ptrdiff_t>(count));
        return names;
    }

    std::vector<read_call> reads() const { return parse_reads(log()); }

    // How every run that got as far as recording ends: its last three calls.
    static std::vector<std::string> release_order() {
        return {"AI_StopTask", "AI_ReleaseTask", "DEV_Release"};
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

    // Runs the recorder until the device has served `count` reads, then
    // stops it with `sig`.
    program_result record_reads(std::size_t count, const program_options& options,
                                int sig = SIGTERM) const {
        child_process child = start_program(options);
        if (child.pid <= 0) {
            ADD_FAILURE() << "the recorder did not start";
            return {};
        }
        EXPECT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", count, 30.0));
        kill(child.pid, sig);
        return finish_program(child);
    }

    // A run a failed write to its data file stopped: status 250, one message,
    // naming the file, the error and what `follows` it, no "Done.", and the
    // device released in order. Returns the file.
    std::string expect_write_failure(const program_result& run, const std::string& follows) const {
        EXPECT_EQ(run.exit_status, 250);
        std::string file = only_recording();
        EXPECT_NE(run.out.find("Write error on " + file + ": " + follows), std::string::npos)
            << run.out;
        EXPECT_EQ(lines_starting_with(run.out, "Write error").size(), 1u) << run.out;
        EXPECT_EQ(run.out.find("Done."), std::string::npos);
        EXPECT_EQ(last_calls(3), release_order());
        return file;
    }

    // A run stopped by a key or a signal ended as designed: status 0,
    // "Stopping..." and then the summary, the one data file named as saved
    // and holding every delivered sample, as many as the summary counts, and
    // the device released in order. Returns the file's check.
    file_check expect_clean_stop(const program_result& run,
                                 const device_samples& samples = {}) const {
        EXPECT_EQ(run.exit_status, 0) << "signal " << run.term_signal << "\n" << run.out;
        const std::string nl = run.out.find("\r\n") != std::string::npos ? "\r\n" : "\n";
        EXPECT_NE(run.out.find(nl + "Stopping..." + nl + "Total points: "), std::string::npos)
            << run.out;
        const std::string file = only_recording();
        const run_summary summary = parse_summary(run.out);
        EXPECT_EQ(summary.output_file, file);
        EXPECT_EQ(summary.saved_to, file);
        file_check check = check_recording(dir + "/" + file, reads(), samples);
        EXPECT_EQ(check.fault, "");
        EXPECT_EQ(summary.total_points, check.rows);
        EXPECT_EQ(last_calls(3), release_order());
        return check;
    }
};

#endif
