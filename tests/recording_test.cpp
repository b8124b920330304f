// Recording on the real program: keys on a terminal, stop signals, failed and
// odd reads, file naming and write failures.
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "data_file.h"
#include "recorder_fixture.h"
#include "sim_signal.h"

namespace {

constexpr std::uint32_t chunk = 1000;
constexpr double rate_hz = 10000.0;

std::string field(double value) {
    char text[max_field_size + 1];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

std::uint64_t summary_count(const std::string& out) {
    std::vector<std::string> line = lines_starting_with(out, "Total points: ");
    return line.size() == 1 ? std::stoull(line[0].substr(14)) : ~0ull;
}

// Checks the file against the device's log: one block of rows per successful
// read, in order, each row the simulated sample it stands for, times dt apart
// within a block. Returns the number of rows.
std::uint64_t check_rows(const std::string& content, const std::vector<read_call>& reads) {
    EXPECT_EQ(content.compare(0, data_file_header_size, data_file_header), 0);
    EXPECT_TRUE(content.empty() || content.back() == '\n') << "file ends with a whole row";
    std::vector<std::string> lines = split_lines(content.substr(data_file_header_size));
    std::size_t next = 0;
    for (const read_call& call : reads) {
        if (call.result == 0) continue;
        std::uint32_t rows = call.delivered < chunk ? call.delivered : chunk;
        double block_time = 0.0;
        for (std::uint32_t i = 0; i < rows; ++i, ++next) {
            if (next >= lines.size()) {
                ADD_FAILURE() << "file ends before the delivered samples";
                return lines.size();
            }
            const std::string& line = lines[next];
            std::size_t comma = line.find(',');
            double time_s = std::strtod(line.c_str(), nullptr);
            if (i == 0) block_time = time_s;
            double volt = sim_sample_volts(call.first + i, rate_hz);
            double g = volt / 0.5;
            std::string expected = field(volt) + "," + field(g) + "," + field(g * standard_gravity);
            if (line.substr(comma + 1) != expected ||
                std::fabs(time_s - (block_time + i / rate_hz)) > 1.5e-6) {
                ADD_FAILURE() << "row " << next + 2 << ": " << line << " expected sample "
                              << call.first + i << " " << expected;
                return lines.size();
            }
        }
    }
    EXPECT_EQ(next, lines.size()) << "rows beyond the delivered samples";
    return lines.size();
}

}  // namespace

TEST_F(RecorderTest, KeyOnTheTerminalStopsAndEverySampleIsInTheFile) {
    program_options options = recorder();
    options.use_pty = true;
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(child.pty_slave_fd, &before), 0);

    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 5, 30.0));
    termios during{};
    ASSERT_EQ(tcgetattr(child.pty_slave_fd, &during), 0);
    EXPECT_EQ(during.c_lflag, before.c_lflag) << "the terminal is altered only inside a poll";
    type_keys(child, "x");
    program_result run = finish_program(child);

    EXPECT_EQ(run.exit_status, 0) << run.out;
    std::string file = only_recording();
    EXPECT_NE(run.out.find("\r\nStopping...\r\nTotal points: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Done. Data saved to " + file + "\r\n"), std::string::npos);
    EXPECT_EQ(run.out.find("Read timeout/error"), std::string::npos);
    std::uint64_t rows = check_rows(read_file(dir + "/" + file), reads());
    EXPECT_GE(rows, 5u * chunk);
    EXPECT_EQ(summary_count(run.out), rows);
    EXPECT_EQ(calls().back(), "DEV_Release");
}

TEST_F(RecorderTest, TerminalSettingsAreRestoredAfterTheRun) {
    program_options options = recorder();
    options.use_pty = true;
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    // The slave side is hung up when the program exits; its attributes are
    // still read through the master side.
    int slave = dup(child.pty_slave_fd);
    int master = dup(child.out_fd);
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 2, 30.0));
    type_keys(child, "k");
    program_result run = finish_program(child);
    EXPECT_EQ(run.exit_status, 0);
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));
    EXPECT_EQ(fcntl(slave, F_GETFL) & O_NONBLOCK, 0) << "the shared descriptor is blocking again";
    close(slave);
    close(master);
}

class StopSignalTest : public RecorderTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, FirstSignalStopsLikeAKey) {
    child_process child = start_program(recorder());  // stdin is /dev/null: no key ever
    ASSERT_GT(child.pid, 0);
    signal_after_reads(child, GetParam(), 3);
    program_result run = finish_program(child);
    EXPECT_EQ(run.exit_status, 0) << "signal " << run.term_signal;
    std::string file = only_recording();
    EXPECT_NE(run.out.find("\nStopping...\n"), std::string::npos);
    EXPECT_NE(run.out.find("Done. Data saved to " + file + "\n"), std::string::npos);
    std::uint64_t rows = check_rows(read_file(dir + "/" + file), reads());
    EXPECT_EQ(summary_count(run.out), rows);
    std::vector<std::string> names = calls();
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
              (std::vector<std::string>{"AI_StopTask", "AI_ReleaseTask", "DEV_Release"}));
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
    child_process child =
        start_program(recorder({"ACTS2200_SIM_FAIL_READS=2,4", "ACTS2200_SIM_FAILED_READ_COUNT=700",
                                "ACTS2200_SIM_SHORT_READS=3:0,5:250"}));
    ASSERT_GT(child.pid, 0);
    signal_after_reads(child, SIGTERM, 7);
    program_result run = finish_program(child);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(lines_starting_with(run.out, "Read timeout/error").size(), 2u) << run.out;
    std::vector<read_call> calls_made = reads();
    std::uint64_t delivered = 0;
    for (const read_call& call : calls_made) delivered += call.result ? call.delivered : 0;
    std::uint64_t rows = check_rows(read_file(dir + "/" + only_recording()), calls_made);
    EXPECT_EQ(rows, delivered);
    EXPECT_EQ(summary_count(run.out), rows);
    EXPECT_LT(rows, chunk * calls_made.size()) << "the count is rows, not reads times chunk";
}

TEST_F(RecorderTest, ACountBeyondTheBufferIsNeverTrusted) {
    child_process child = start_program(recorder({"ACTS2200_SIM_OVER_REPORT=24"}));
    ASSERT_GT(child.pid, 0);
    signal_after_reads(child, SIGTERM, 3);
    program_result run = finish_program(child);
    EXPECT_EQ(run.exit_status, 0);
    std::vector<read_call> calls_made = reads();
    ASSERT_FALSE(calls_made.empty());
    EXPECT_EQ(calls_made[0].delivered, chunk + 24);
    std::uint64_t rows = check_rows(read_file(dir + "/" + only_recording()), calls_made);
    EXPECT_EQ(rows, chunk * calls_made.size());
    EXPECT_EQ(summary_count(run.out), rows);
}

TEST_F(RecorderTest, EarlierRecordingsWithTheSameNameAreLeftUntouched) {
    // Occupy the names of this second and the next few, with suffixes.
    std::time_t now = std::time(nullptr);
    std::vector<std::string> precious;
    for (int ahead = 0; ahead < 4; ++ahead) {
        std::time_t when = now + ahead;
        std::tm local{};
        localtime_r(&when, &local);
        char path[csv_path_size];
        format_csv_path(path, sizeof path, "recordings", local);
        precious.push_back(path);
        for (unsigned n = 2; n <= 3; ++n) {
            char numbered[csv_path_size];
            ASSERT_TRUE(format_numbered_path(numbered, sizeof numbered, path, n));
            precious.push_back(numbered);
        }
    }
    for (const std::string& path : precious) write_file(dir + "/" + path, "earlier run " + path);
    write_file(dir + "/key", "q");
    program_options options = recorder();
    options.stdin_path = dir + "/key";
    program_result run = run_program(options);
    ASSERT_EQ(run.exit_status, 0) << run.out;

    for (const std::string& path : precious)
        EXPECT_EQ(read_file(dir + "/" + path), "earlier run " + path);
    std::vector<std::string> output = lines_starting_with(run.out, "Output file: ");
    ASSERT_EQ(output.size(), 1u);
    std::string written = output[0].substr(13);
    EXPECT_EQ(written.substr(written.size() - 6), "_4.csv") << written;
    EXPECT_NE(run.out.find("Done. Data saved to " + written + "\n"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/" + written), data_file_header);
}

TEST_F(RecorderTest, WriteFailureStopsWithWholeRowsAndAnHonestCount) {
    program_options options = recorder();
    // Room for the header and about two and a half blocks of rows.
    options.file_size_limit = 38 + 2500 * 36;
    program_result run = run_program(options);  // stops by itself on the failure
    EXPECT_EQ(run.exit_status, 250);
    std::string file = only_recording();
    EXPECT_NE(run.out.find("Write error on " + file + ": File too large\n\nStopping...\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Done."), std::string::npos);
    std::vector<read_call> calls_made = reads();
    ASSERT_FALSE(calls_made.empty());
    calls_made.pop_back();  // the block that did not fit
    std::uint64_t rows = check_rows(read_file(dir + "/" + file), calls_made);
    EXPECT_EQ(rows, 2u * chunk);
    EXPECT_EQ(summary_count(run.out), rows);
    std::vector<std::string> names = calls();
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
              (std::vector<std::string>{"AI_StopTask", "AI_ReleaseTask", "DEV_Release"}));
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
#ifdef ACC_NO_PRELOAD
    GTEST_SKIP() << "the failure shim cannot be preloaded into this build";
#endif
    write_file(dir + "/key", "q");
    program_options options =
        recorder({std::string("LD_PRELOAD=") + FAILURE_SHIM_PATH, GetParam()});
    options.stdin_path = dir + "/key";
    program_result run = run_program(options);
    EXPECT_EQ(run.exit_status, 250);
    std::string file = only_recording();
    EXPECT_EQ(lines_starting_with(run.out, "Write error on "),
              std::vector<std::string>{"Write error on " + file + ": Input/output error"})
        << run.out;
    EXPECT_EQ(run.out.find("Done."), std::string::npos);
    EXPECT_EQ(calls().back(), "DEV_Release");
}

INSTANTIATE_TEST_SUITE_P(Steps, StorageFailureTest,
                         ::testing::Values("ACC_TEST_FAIL_SYNC=1", "ACC_TEST_FAIL_CLOSE=1"));

TEST_F(RecorderTest, MessagesReachAPipeAtOnceAndAVanishedReaderStopsNoTeardown) {
    child_process child = start_program(recorder());
    ASSERT_GT(child.pid, 0);
    // The banner comes before the first read: by the third it is in the pipe.
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    ASSERT_EQ(fcntl(child.out_fd, F_SETFL, O_NONBLOCK), 0);
    std::string banner;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(child.out_fd, buffer, sizeof buffer)) > 0)
        banner.append(buffer, static_cast<std::size_t>(got));
    EXPECT_NE(banner.find("Press any key to stop.\n"), std::string::npos) << banner;
    close(child.out_fd);  // the reader goes away: the summary cannot be written
    child.out_fd = -1;
    kill(child.pid, SIGTERM);
    program_result run = finish_program(child);
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_EQ(run.exit_status, 0);
    check_rows(read_file(dir + "/" + only_recording()), reads());
    EXPECT_EQ(calls().back(), "DEV_Release");
}

TEST_F(RecorderTest, InABackgroundProcessGroupItKeepsRecordingInsteadOfStopping) {
    program_options options = recorder();
    options.use_pty = true;
    options.own_process_group = true;  // SIGTERM after a second
    program_result run = run_program(options);
    EXPECT_NE(run.exit_status, 99) << "stopped by job control";
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_NE(run.out.find("Done. Data saved to"), std::string::npos);
    EXPECT_GE(reads().size(), 1u);
}
