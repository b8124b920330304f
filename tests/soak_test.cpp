// Hours of recording in a few seconds: the real recorder against the unpaced
// simulated device for ten million samples. Every row must be in the file,
// whole, exact and in order, and the recorder's memory must not grow.
#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "data_format.h"
#include "peak_memory.h"
#include "recorder_fixture.h"

namespace {

constexpr std::uint64_t ten_million = 10000000;
// A row of the simulated signal, times below 100 s: "99.999999,0.752000,
// 1.504000,14.749201\n" is the longest.
constexpr std::uint64_t longest_row = 38;
constexpr double give_up_after_s = 40.0;

struct soak_run {
    program_result result;
    double seconds = 0.0;    // from start to exit
    long peak_rss_kib = -1;  // the recorder's, when it was asked to stop
    long anon_rss_kib = -1;
};

class SoakTest : public RecorderTest {
protected:
    // Records unpaced until the file must hold `min_rows` rows, then takes
    // the recorder's peak memory, sends SIGTERM and collects the exit.
    soak_run record_unpaced(std::uint64_t min_rows) const {
        soak_run run;
        const off_t target = static_cast<off_t>(data_file_header_size + min_rows * longest_row);
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::duration<double>(give_up_after_s);
        child_process child = start_program(recorder({"ACTS2200_SIM_UNPACED=1"}));
        EXPECT_GT(child.pid, 0);
        if (child.pid <= 0) return run;
        bool reached = false;
        while (!reached && std::chrono::steady_clock::now() < deadline) {
            std::vector<std::string> names = list_data_files(recordings);
            struct stat info {};
            reached = names.size() == 1 &&
                      stat((recordings + "/" + names.front()).c_str(), &info) == 0 &&
                      info.st_size >= target;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(reached) << "the file did not reach " << min_rows << " rows";
        run.peak_rss_kib = peak_rss_kib(child.pid);
        run.anon_rss_kib = anon_rss_kib(child.pid);
        kill(child.pid, SIGTERM);
        run.result = finish_program(child);
        run.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return run;
    }

    // The run ended cleanly, every read was the next whole block, and every
    // sample is in the file. Returns the file's row count.
    std::uint64_t check_run(const soak_run& run, std::uint64_t min_rows) const {
        EXPECT_EQ(run.result.out.find("Read timeout/error"), std::string::npos);
        const std::uint64_t rows = expect_clean_stop(run.result).rows;
        EXPECT_GE(rows, min_rows);
        const std::vector<read_call> calls = reads();
        EXPECT_EQ(skipped_reads(calls), 0u) << "every read the next block";
        EXPECT_EQ(delivered_rows(calls), calls.size() * block_rows) << "and a whole one";
        return rows;
    }
};

}  // namespace

TEST_F(SoakTest, TenMillionSamplesAllArriveExactlyAndMemoryStaysFlat) {
    soak_run brief = record_unpaced(300000);
    const std::uint64_t brief_rows = check_run(brief, 300000);
    // Room on disk for the long run, and a log of its own.
    remove_tree(recordings);
    ASSERT_EQ(mkdir(recordings.c_str(), 0755), 0);
    ASSERT_EQ(unlink(log_path.c_str()), 0);

    soak_run soak = record_unpaced(ten_million);
    const std::uint64_t soak_rows = check_run(soak, ten_million);

    // Everything is allocated before the first read. The peak varies by a
    // few hundred KiB of library pages from run to run; the program's own
    // data must not grow at all (32 KiB are 3 bytes per read).
    ASSERT_GT(brief.peak_rss_kib, 0);
    if (!memory_is_sanitized) {
        EXPECT_LE(soak.peak_rss_kib, brief.peak_rss_kib + 384)
            << "peak memory grew from " << brief.peak_rss_kib << " KiB after " << brief_rows
            << " rows to " << soak.peak_rss_kib << " KiB after " << soak_rows;
        EXPECT_LE(soak.anon_rss_kib, brief.anon_rss_kib + 32)
            << "own data grew from " << brief.anon_rss_kib << " KiB after " << brief_rows
            << " rows to " << soak.anon_rss_kib << " KiB after " << soak_rows;
    }
    std::printf(
        "soak: %llu rows in %.1f s, peak RSS %ld KiB (own data %ld KiB); "
        "%llu rows in %.1f s, peak RSS %ld KiB (own data %ld KiB)\n",
        static_cast<unsigned long long>(brief_rows), brief.seconds, brief.peak_rss_kib,
        brief.anon_rss_kib, static_cast<unsigned long long>(soak_rows), soak.seconds,
        soak.peak_rss_kib, soak.anon_rss_kib);
    RecordProperty("rows", std::to_string(soak_rows));
    RecordProperty("peak_rss_kib_short", std::to_string(brief.peak_rss_kib));
    RecordProperty("peak_rss_kib_long", std::to_string(soak.peak_rss_kib));
}
