// A run with a file span of 2 s on the real recorder: a new data file at
// every even second, each with its provenance, every sample in exactly one
// of them, and a switch that finds no name for its file.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <sys/file.h>
#include <sys/timex.h>
#include <thread>
#include <unistd.h>

#include "data_file.h"
#include "recorder_fixture.h"
#include "span_check.h"

namespace {

// True once the child has ended (a zombie not yet collected).
bool has_exited(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

bool wait_for_data_files(const std::string& dir, std::size_t count) {
    for (int i = 0; i < 5000 && list_data_files(dir).size() < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return list_data_files(dir).size() >= count;
}

}  // namespace

class FileSpanTest : public RecorderTest {
protected:
    // Takes every name of the seconds to come, the data files' or only their
    // provenance files', until the recorder gives up: a write failure on a
    // file of that kind, status 250, no "Done.". Returns the run.
    program_result take_names_until_it_stops(bool provenance_only) const {
        child_process child = start_program(recorder({}, SPAN_RECORDER_PATH));
        EXPECT_GT(child.pid, 0);
        if (child.pid <= 0) return {};
        EXPECT_TRUE(wait_for_data_files(recordings, 1));
        // A second at a time and always ahead of the clock: on a loaded
        // machine taking a second's names can outlast the second itself.
        std::time_t second = std::time(nullptr) + 2;
        for (int slot = 0; slot < 60 && !has_exited(child.pid); ++slot, ++second) {
            second = std::max(second, std::time(nullptr) + 1);
            std::tm local{};
            localtime_r(&second, &local);
            char path[csv_path_size];
            format_csv_path(path, sizeof path, "recordings", local);
            for (unsigned n = 1; n <= (provenance_only ? 1 : max_name_suffix); ++n) {
                char numbered[csv_path_size];
                EXPECT_TRUE(n == 1 || format_numbered_path(numbered, sizeof numbered, path, n));
                std::string name = dir + "/" + (n == 1 ? path : numbered);
                if (provenance_only) name.replace(name.size() - 4, 4, ".json");
                // Never over a file the recorder has made meanwhile.
                int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (fd >= 0) close(fd);
            }
        }
        program_result run = finish_program(child);  // stops by itself
        EXPECT_EQ(run.exit_status, 250) << run.out;
        const std::vector<std::string> failed = lines_starting_with(run.out, "Write error on ");
        const std::regex named(std::string(R"(Write error on recordings/ai0_accel_\d{8}_\d{6}\.)") +
                               (provenance_only ? "json" : "csv") + ": File exists");
        EXPECT_TRUE(failed.size() == 1 && std::regex_match(failed[0], named)) << run.out;
        EXPECT_EQ(run.out.find("Done."), std::string::npos);
        return run;
    }
};

TEST_F(FileSpanTest, EverySampleIsInExactlyOneFileAndTheFilesJoin) {
    child_process child = start_program(recorder({}, SPAN_RECORDER_PATH));
    ASSERT_GT(child.pid, 0);
    // The file being written is locked; one the storage thread has closed is not.
    ASSERT_TRUE(wait_for_data_files(recordings, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> early = list_data_files(recordings);
    int finished = open((recordings + "/" + early[0]).c_str(), O_RDONLY);
    int open_one = open((recordings + "/" + early[1]).c_str(), O_RDONLY);
    EXPECT_EQ(flock(finished, LOCK_SH | LOCK_NB), 0);
    EXPECT_EQ(flock(open_one, LOCK_SH | LOCK_NB), -1);
    close(finished);
    close(open_one);
    signal_after_reads(child, SIGTERM, 90);
    program_result run = finish_program(child);
    EXPECT_EQ(run.exit_status, 0) << run.out;

    span_run files = read_span_run(dir, run.out);
    ASSERT_GE(files.files.size(), 4u) << run.out;
    EXPECT_EQ(list_data_files(recordings).size(), files.files.size()) << "each file announced";
    EXPECT_NE(
        run.out.find("Done. Data saved to " + files.files.front() + " through " +
                     files.files.back() + " (" + std::to_string(files.files.size()) + " files)\n"),
        std::string::npos)
        << run.out;
    std::vector<read_call> calls_made = reads();
    std::vector<std::int64_t> blocks = check_span_blocks(dir, files, calls_made);
    EXPECT_EQ(parse_summary(run.out).total_points, delivered_rows(calls_made));

    std::string run_id;
    std::size_t block = 0;
    for (std::size_t i = 0; i < files.files.size(); ++i) {
        const std::string& file = files.files[i];
        SCOPED_TRACE(file);
        EXPECT_EQ(files.rows[i] % block_rows, 0u) << "a block is never split";
        const std::string json = read_file(dir + "/" + file.substr(0, file.size() - 4) + ".json");
        EXPECT_EQ(json_value(json, "segment"), std::to_string(i + 1));
        EXPECT_EQ(json_value(json, "previous"),
                  i == 0 ? "null" : "\"" + files.files[i - 1].substr(11) + "\"");
        for (const auto& [key, value] : {std::pair<const char*, const char*>{"file_span_s", "2"},
                                         {"ai_option", "0"},
                                         {"chunk_points", "1000"},
                                         {"sample_rate_hz", "10000.0"}})
            EXPECT_EQ(json_value(json, key), value) << key;
        EXPECT_EQ(json_value(json, "simulator"), "true");
        // What the kernel says of its clock, synchronised or not.
        timex tx{};
        const int clock_state = adjtimex(&tx);
        if (clock_state != -1) {
            EXPECT_EQ(
                json_value(json, "synchronized"),
                clock_state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0 ? "true" : "false");
        }
        EXPECT_TRUE(
            std::regex_search(json_value(json, "path"), std::regex(R"(/libACTS2200\.so"$)")));
        if (i == 0) run_id = json_value(json, "run_id");
        EXPECT_TRUE(std::regex_match(run_id, std::regex(R"("[0-9a-f]{32}")"))) << run_id;
        EXPECT_EQ(json_value(json, "run_id"), run_id);
        if (i > 0) {
            // Row time t is the instant start_utc + t: a file's first row is
            // the moment its name was taken, an even second.
            std::tm named{};
            std::tm start{};
            const std::string start_utc = json_value(json, "start_utc");
            ASSERT_TRUE(strptime(file.c_str(), "recordings/ai0_accel_%Y%m%d_%H%M%S.csv", &named));
            ASSERT_TRUE(
                std::regex_match(start_utc, std::regex(R"("[-0-9]{10}T[:0-9]{8}\.\d{6}Z")")));
            ASSERT_TRUE(strptime(start_utc.c_str(), "\"%Y-%m-%dT%H:%M:%S", &start));
            named.tm_isdst = -1;
            EXPECT_EQ(named.tm_sec % 2, 0);
            ASSERT_LT(block, blocks.size());
            const double first_row_s = static_cast<double>(timegm(&start)) +
                                       std::stod(start_utc.substr(20, 7)) +
                                       static_cast<double>(blocks[block]) / 1e6;
            EXPECT_NEAR(first_row_s, static_cast<double>(mktime(&named)) + 0.5, 0.50001);
            // Joined as blocks of one file join: no gap, no overlap.
            if (block > 0) {
                EXPECT_LT(std::llabs(blocks[block] - blocks[block - 1] - 100000), 200000);
            }
        }
        block += files.rows[i] / block_rows;
    }
}

TEST_F(FileSpanTest, ASwitchThatFindsNoNameIsAWriteFailureAndEarlierFilesStayWhole) {
    program_result run = take_names_until_it_stops(false);
    span_run files = read_span_run(dir, run.out);
    std::vector<read_call> calls_made = reads();
    ASSERT_FALSE(calls_made.empty());
    calls_made.pop_back();  // the block that found no file
    check_span_blocks(dir, files, calls_made);
    EXPECT_EQ(parse_summary(run.out).total_points, delivered_rows(calls_made));
}

TEST_F(FileSpanTest, AProvenanceFileThatCannotBeMadeIsAWriteFailure) {
    take_names_until_it_stops(true);
}

TEST_F(FileSpanTest, AClockSteppedBackOrFarAheadSwitchesOnceAtMost) {
    SKIP_WITHOUT_FAILURE_SHIM();
    // From the second block on, the clock is off by the step (as in the
    // clock-step tests); 1.5 s of recording.
    for (const std::string step : {"-1000", "86400"}) {
        program_options options = recorder({}, SPAN_RECORDER_PATH);
        const std::string log = dir + "/device" + step + ".log";
        options.env = {std::string("LD_PRELOAD=") + FAILURE_SHIM_PATH,
                       "ACC_TEST_CLOCK_STEP=3:" + step, "ACTS2200_SIM_LOG=" + log};
        child_process child = start_program(options);
        ASSERT_GT(child.pid, 0);
        ASSERT_TRUE(wait_for_lines(log, "AI_ReadAnalog ", 15, 30.0));
        kill(child.pid, SIGTERM);
        program_result run = finish_program(child);
        EXPECT_EQ(run.exit_status, 0) << run.out;
        // The first block, still on the true clock, may reach the first
        // boundary. After the step back the next lies 1000 s ahead; after
        // the step ahead there is one switch at once, then one every 2 s
        // again: never one per block.
        EXPECT_LE(lines_starting_with(run.out, "Output file: ").size(), step[0] == '-' ? 2u : 4u)
            << step << "\n"
            << run.out;
    }
}
