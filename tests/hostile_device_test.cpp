// Whatever the device hands over, the real recorder writes exactly that or
// nothing: extreme voltages, counts that claim more than was delivered,
// every read failing, and a buffer that overran while the recorder was held
// up. (Over-reported full reads, failed reads that set a count, and empty
// blocks are covered in recording_test.cpp.)
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "peak_memory.h"
#include "recorder_fixture.h"

namespace {

// Special values, subnormals, the extremes, values whose sixth decimal is a
// tie or next to one, and integers beyond 2^53 and 2^64.
const char* const hostile_values =
    "nan,-nan,inf,-inf,-0.0,0.0,4.9e-324,-4.9e-324,2.2e-308,2.2250738585072014e-308,1e300,"
    "-1.7976931348623157e308,1.7976931348623157e308,0x1p-2,5e-7,1.5e-6,-4e-7,0.9999995,"
    "-0.0000005,2.5e-6,1e15,2251799813685248.5,9007199254740993,18446744073709551616,"
    "-123456789.1234565,0.5000005,4503599627370495.5,1e22,-9.999999e-7,0x1.fffffffffffffp-1";

std::vector<double> parse_values(const char* text) {
    std::vector<double> values;
    std::istringstream in(text);
    for (std::string value; std::getline(in, value, ',');)
        values.push_back(std::strtod(value.c_str(), nullptr));
    return values;
}

std::size_t failed_reads(const std::vector<read_call>& reads) {
    return static_cast<std::size_t>(std::count_if(
        reads.begin(), reads.end(), [](const read_call& call) { return call.result == 0; }));
}

std::size_t read_errors(const std::string& out) {
    return lines_starting_with(out, "Read timeout/error").size();
}

}  // namespace

class HostileDeviceTest : public RecorderTest {
protected:
    // Runs with every read failing for `spell_s` seconds, without the log,
    // which would grow by the same line on every pass, then takes the
    // recorder's peak memory and its own data's and sends SIGTERM.
    program_result fail_every_read_for(double spell_s, long* peak_kib, long* anon_kib) const {
        program_options options = recorder({"ACTS2200_SIM_FAIL_READS=all"});
        options.env.back() = "ACTS2200_SIM_LOG=";
        child_process child = start_program(options);
        EXPECT_GT(child.pid, 0);
        if (child.pid <= 0) return {};  // never kill(-1, ...)
        const pid_t pid = child.pid;
        // The output is drained while the spell lasts, or the recorder would
        // block on a full pipe instead of spinning through reads.
        std::thread stopper([pid, spell_s, peak_kib, anon_kib] {
            std::this_thread::sleep_for(std::chrono::duration<double>(spell_s));
            *peak_kib = peak_rss_kib(pid);
            *anon_kib = anon_rss_kib(pid);
            kill(pid, SIGTERM);
        });
        program_result run = finish_program(child);
        stopper.join();
        return run;
    }
};

TEST_F(HostileDeviceTest, ExtremeVoltagesAreWrittenExactlyAsPrintfWouldWriteThem) {
    program_result run =
        record_reads(3, recorder({std::string("ACTS2200_SIM_VALUES=") + hostile_values}));
    ASSERT_EQ(lines_starting_with(log(), "DEV_Create ")[0].find("error="), std::string::npos)
        << "the simulator took every value";
    // Each row byte for byte as snprintf writes its value, every value of
    // the list in each block.
    EXPECT_GE(expect_clean_stop(run, {parse_values(hostile_values)}).block_times_us.size(), 3u);
}

TEST_F(HostileDeviceTest, ACountBeyondWhatWasDeliveredShowsNanNeverEarlierSamples) {
    // Reads 1 and 3 fill 10 values and claim 34: the other 24 slots were
    // never written in read 1, and still hold read 2's samples in read 3.
    program_result run = record_reads(
        4, recorder({"ACTS2200_SIM_SHORT_READS=1:10,3:10", "ACTS2200_SIM_OVER_REPORT=24"}));
    expect_clean_stop(run, {{}, 24});
    std::vector<read_call> calls_made = reads();
    ASSERT_GE(calls_made.size(), 4u);
    for (std::size_t n = 0; n < calls_made.size(); ++n)
        EXPECT_EQ(calls_made[n].delivered, (n == 0 || n == 2 ? 10u : block_rows) + 24) << n;
}

// Reported once per pass; a hostile count on every failed read, too, of
// which nothing may be written. (A signal stops such a run in the memory
// test below.)
TEST_F(HostileDeviceTest, EveryReadFailingIsReportedOncePerPassAndAKeyStillStops) {
    program_options options =
        recorder({"ACTS2200_SIM_FAIL_READS=all", "ACTS2200_SIM_FAILED_READ_COUNT=4294967295"});
    options.use_pty = true;
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    // Few enough passes to fit the terminal's buffer before anyone reads it.
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 20, 30.0));
    type_keys(child, "#");
    program_result run = finish_program(child);
    // Unless it came while a poll had echo off, the terminal echoed the key
    // into the middle of some line.
    run.out.erase(std::remove(run.out.begin(), run.out.end(), '#'), run.out.end());
    EXPECT_EQ(expect_clean_stop(run).rows, 0u);
    EXPECT_NE(run.out.find("Read timeout/error\r\n\r\nStopping...\r\n"), std::string::npos);
    const std::vector<read_call> calls_made = reads();
    EXPECT_EQ(failed_reads(calls_made), calls_made.size());
    EXPECT_EQ(read_errors(run.out), calls_made.size());
}

TEST_F(HostileDeviceTest, EveryReadFailingForLongerTakesNoMoreMemory) {
    if (memory_is_sanitized) GTEST_SKIP() << "the sanitizer's own memory grows with a run";
    long brief_kib = -1, longer_kib = -1, brief_anon_kib = -1, longer_anon_kib = -1;
    program_result brief = fail_every_read_for(0.3, &brief_kib, &brief_anon_kib);
    program_result longer = fail_every_read_for(3.0, &longer_kib, &longer_anon_kib);
    EXPECT_EQ(brief.exit_status, 0);
    EXPECT_EQ(longer.exit_status, 0);
    const std::size_t brief_passes = read_errors(brief.out);
    const std::size_t longer_passes = read_errors(longer.out);
    EXPECT_GT(longer_passes, brief_passes);
    // Library pages vary by a few hundred KiB from run to run, the
    // program's own data hardly at all (under emulation the emulator's own
    // buffers add some tens of KiB). A leak of even one byte per pass would
    // add over 100 KiB between the two runs.
    ASSERT_GT(brief_kib, 0);
    EXPECT_LE(longer_kib, brief_kib + 384)
        << brief_passes << " failed passes peaked at " << brief_kib << " KiB, " << longer_passes
        << " at " << longer_kib << " KiB";
    EXPECT_LE(longer_anon_kib, brief_anon_kib + 96)
        << brief_passes << " failed passes held " << brief_anon_kib << " KiB of own data, "
        << longer_passes << " " << longer_anon_kib << " KiB";
    std::printf(
        "failing reads: %zu passes, peak RSS %ld KiB (own data %ld KiB); "
        "%zu passes, peak RSS %ld KiB (own data %ld KiB)\n",
        brief_passes, brief_kib, brief_anon_kib, longer_passes, longer_kib, longer_anon_kib);
}

TEST_F(HostileDeviceTest, OverrunWhileHeldUpIsReportedAndLeavesAGapNotInventedRows) {
    child_process child = start_program(recorder());
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    // Held up for longer than the device's one second of buffer.
    kill(child.pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::size_t reads_before = reads().size();
    kill(child.pid, SIGCONT);
    signal_after_reads(child, SIGTERM, reads_before + 5);
    program_result run = finish_program(child);
    const std::vector<std::int64_t> blocks = expect_clean_stop(run).block_times_us;

    std::vector<read_call> calls_made = reads();
    // The one failed read is the overrun.
    EXPECT_NE(log().find("-> 0 error=overrun lost="), std::string::npos) << log();
    EXPECT_EQ(failed_reads(calls_made), 1u);
    EXPECT_EQ(read_errors(run.out), 1u) << run.out;
    // Blocks arrive 0.1 s apart; the hold-up shows as one jump of over a
    // second. (The block that was waiting when the recorder was stopped is
    // stamped at its late arrival, so the jump comes one block before the
    // lost samples.)
    std::size_t gaps = 0;
    for (std::size_t i = 1; i < blocks.size(); ++i)
        gaps += blocks[i] - blocks[i - 1] > 1000000 ? 1 : 0;
    EXPECT_EQ(gaps, 1u);
    // And the samples it lost are missing from the file, not made up.
    EXPECT_EQ(skipped_reads(calls_made), 1u);
}
