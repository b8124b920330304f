// Recording on the real program: keys on a terminal, stop signals, failed and
// odd reads, file naming and write failures.
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "data_file.h"
#include "recorder_fixture.h"

// The terminal's attributes and blocking mode, as a poll leaves them, are the
// console clock test's.
TEST_F(RecorderTest, KeyOnTheTerminalStopsWithEverySample) {
    program_options options = recorder();
    options.use_pty = true;
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 5, 30.0));
    type_keys(child, "x");
    program_result run = finish_program(child);
    EXPECT_GE(expect_clean_stop(run).rows, 5u * block_rows);
    EXPECT_EQ(run.out.find("Read timeout/error"), std::string::npos);
}

class StopSignalTest : public RecorderTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, FirstSignalStopsLikeAKey) {
    expect_clean_stop(record_reads(3, recorder(), GetParam()));  // stdin is /dev/null: no key ever
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& signal_info) {
                             return std::string(sigabbrev_np(signal_info.param));
                         });

TEST_F(RecorderTest, SecondStopSignalEndsTheProcessAtOnce) {
    child_process child = start_program(recorder());
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 1, 30.0));
    // Both arrive before the loop can act on the first.
    kill(child.pid, SIGSTOP);
    kill(child.pid, SIGINT);
    kill(child.pid, SIGTERM);
    kill(child.pid, SIGCONT);
    program_result run = finish_program(child);
    EXPECT_EQ(run.term_signal, SIGTERM);
    EXPECT_EQ(run.out.find("Done."), std::string::npos);
}

TEST_F(RecorderTest, FailedShortAndEmptyReadsAreReportedAndCountedExactly) {
    program_result run = record_reads(
        7, recorder({"ACTS2200_SIM_FAIL_READS=2,4", "ACTS2200_SIM_FAILED_READ_COUNT=700",
                     "ACTS2200_SIM_SHORT_READS=3:0,5:250"}));
    EXPECT_EQ(lines_starting_with(run.out, "Read timeout/error").size(), 2u) << run.out;
    expect_clean_stop(run);  // the count is the rows each read delivered, the file holds them
}

TEST_F(RecorderTest, EarlierRecordingsWithTheSameNameAreLeftUntouched) {
    // Occupy the names of this second and the next few; which number the
    // recorder takes instead is the data file tests'.
    std::time_t now = std::time(nullptr);
    std::vector<std::string> precious;
    for (int ahead = 0; ahead < 4; ++ahead) {
        std::time_t when = now + ahead;
        std::tm local{};
        localtime_r(&when, &local);
        char path[csv_path_size];
        format_csv_path(path, sizeof path, "recordings", local);
        precious.push_back(path);
    }
    for (const std::string& path : precious) write_file(dir + "/" + path, "earlier run " + path);
    program_result run = run_program(recorder_reading("q"));
    ASSERT_EQ(run.exit_status, 0) << run.out;

    for (const std::string& path : precious)
        EXPECT_EQ(read_file(dir + "/" + path), "earlier run " + path);
    const run_summary summary = parse_summary(run.out);
    const std::string written = summary.output_file;
    ASSERT_GT(written.size(), 6u);
    EXPECT_EQ(written.substr(written.size() - 6), "_2.csv") << written;
    EXPECT_EQ(summary.saved_to, written);
    EXPECT_EQ(read_file(dir + "/" + written), data_file_header);
}

TEST_F(RecorderTest, WriteFailureStopsWithWholeRowsAndAnHonestCount) {
    program_options options = recorder();
    // Room for the header and about two and a half blocks of rows.
    options.file_size_limit = 38 + 2500 * 36;
    program_result run = run_program(options);  // stops by itself on the failure
    const std::string file = expect_write_failure(run, "File too large\n\nStopping...\n");
    std::vector<read_call> calls_made = reads();
    ASSERT_FALSE(calls_made.empty());
    calls_made.pop_back();  // the block that did not fit
    const file_check check = check_recording(dir + "/" + file, calls_made);
    EXPECT_EQ(check.fault, "");
    EXPECT_EQ(check.rows, 2u * block_rows);
    EXPECT_EQ(parse_summary(run.out).total_points, check.rows);
}

TEST_F(RecorderTest, HeaderThatCannotBeWrittenFailsBeforeRecording) {
    program_options options = recorder();
    options.file_size_limit = 10;
    program_result run = run_program(options);
    EXPECT_EQ(run.exit_status, 250);
    std::string file = only_recording();
    EXPECT_EQ(run.out, "Opening device...\nWrite error on " + file + ": File too large\n");
    EXPECT_EQ(read_file(dir + "/" + file), "");
    // The limit also stops the device's log, so the release order is left to
    // the no-memory test, which unwinds the same state.
}

class StorageFailureTest : public RecorderTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(StorageFailureTest, AFailedFinalSyncOrCloseIsAWriteErrorAndNotDone) {
    SKIP_WITHOUT_FAILURE_SHIM();
    expect_write_failure(
        run_program(recorder_reading("q", {"LD_PRELOAD=" FAILURE_SHIM_PATH, GetParam()})),
        "Input/output error\n");
}

INSTANTIATE_TEST_SUITE_P(Steps, StorageFailureTest,
                         ::testing::Values("ACC_TEST_FAIL_SYNC=1", "ACC_TEST_FAIL_CLOSE=1"));

TEST_F(RecorderTest, MessagesReachAPipeAtOnceAndAVanishedReaderStopsNoTeardown) {
    child_process child = start_program(recorder());
    ASSERT_GT(child.pid, 0);
    // The banner comes before the first read: by the third it is in the pipe.
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    std::string banner;
    const auto shown = [](const std::string& text) {
        return text.find("Press any key to stop.\n") != std::string::npos;
    };
    EXPECT_TRUE(read_until(child.out_fd, &banner, shown, 0.3)) << banner;
    close(child.out_fd);  // the reader goes away: the summary cannot be written
    child.out_fd = -1;
    kill(child.pid, SIGTERM);
    program_result run = finish_program(child);
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(check_recording(dir + "/" + only_recording(), reads()).fault, "");
    EXPECT_EQ(last_calls(3), release_order());
}

TEST_F(RecorderTest, InABackgroundProcessGroupItKeepsRecordingInsteadOfStopping) {
    program_options options = recorder();
    options.use_pty = true;
    options.own_process_group = true;  // SIGTERM after a second
    program_result run = run_program(options);
    EXPECT_GE(reads().size(), 1u);
    expect_clean_stop(run);
}
