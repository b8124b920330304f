// Hours of recording in a few seconds: the real recorder against the unpaced
// simulated device for ten million samples. Every row must be in the file,
// whole, exact and in order, and the recorder's memory must not grow.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

#include "peak_memory.h"
#include "recorder_fixture.h"
#include "row_check.h"
#include "sim_signal.h"

namespace {

constexpr std::uint32_t chunk = 1000;
constexpr double rate_hz = 10000.0;
constexpr std::uint64_t ten_million = 10000000;
// A row of the simulated signal, times below 100 s: "99.999999,0.752000,
// 1.504000,14.749201\n" is the longest.
constexpr std::uint64_t longest_row = 38;
constexpr double give_up_after_s = 40.0;

struct soak_run {
    program_result result;
    std::string file;        // the data file's full path
    bool reached = false;    // the file grew to the target before the deadline
    double seconds = 0.0;    // from start to exit
    long peak_rss_kib = -1;  // the recorder's, when it was asked to stop
    long anon_rss_kib = -1;
};

std::uint64_t summary_count(const std::string& out) {
    std::vector<std::string> line = lines_starting_with(out, "Total points: ");
    return line.size() == 1 ? std::stoull(line[0].substr(14)) : ~0ull;
}

// Streams through the file: the header, then rows that are sample 0, 1, 2 ...
// of the signal, each block's times 100 µs apart. Stops at the first fault.
// Returns the number of whole, correct rows.
std::uint64_t check_unpaced_recording(const std::string& path) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        ADD_FAILURE() << "cannot open " << path;
        return 0;
    }
    char line[max_row_size + 2];
    std::uint64_t n = 0;
    if (!std::fgets(line, sizeof line, in) || std::strcmp(line, data_file_header) != 0) {
        ADD_FAILURE() << "bad header";
        std::fclose(in);
        return 0;
    }
    std::int64_t block_time = 0;
    while (std::fgets(line, sizeof line, in)) {
        parsed_row row{};
        if (!parse_row(line, std::strlen(line), &row)) {
            ADD_FAILURE() << "row " << n + 2 << " is not a whole row of four %.6f fields: " << line;
            break;
        }
        const std::uint32_t i = static_cast<std::uint32_t>(n % chunk);
        const std::int64_t time = micro_units(row.time);
        if (i == 0) block_time = time;
        if (std::llabs(time - (block_time + 100 * static_cast<std::int64_t>(i))) > 1) {
            ADD_FAILURE() << "row " << n + 2 << ": time " << line << " is not " << block_time
                          << " µs + " << i << " / 10000 s";
            break;
        }
        if (!row_values_are(row, sim_sample_volts(n, rate_hz))) {
            ADD_FAILURE() << "row " << n + 2 << ": " << line << " is not sample " << n << " "
                          << reference_row(0.0, sim_sample_volts(n, rate_hz));
            break;
        }
        ++n;
    }
    std::fclose(in);
    return n;
}

class SoakTest : public RecorderTest {
protected:
    // Records unpaced until the file must hold `min_rows` rows, then takes
    // the recorder's peak memory, sends SIGTERM and collects the exit.
    soak_run record_unpaced(const std::string& cwd, std::uint64_t min_rows) const {
        soak_run run;
        program_options options = recorder({"ACTS2200_SIM_UNPACED=1"});
        options.cwd = cwd;
        options.env.back() = "ACTS2200_SIM_LOG=" + cwd + "/device.log";
        const off_t target = static_cast<off_t>(data_file_header_size + min_rows * longest_row);
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::duration<double>(give_up_after_s);
        child_process child = start_program(options);
        EXPECT_GT(child.pid, 0);
        if (child.pid <= 0) return run;
        while (std::chrono::steady_clock::now() < deadline) {
            std::vector<std::string> names = list_data_files(cwd + "/recordings");
            struct stat info {};
            if (names.size() == 1) {
                run.file = cwd + "/recordings/" + names.front();
                if (stat(run.file.c_str(), &info) == 0 && info.st_size >= target) {
                    run.reached = true;
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        run.peak_rss_kib = peak_rss_kib(child.pid);
        run.anon_rss_kib = anon_rss_kib(child.pid);
        kill(child.pid, SIGTERM);
        run.result = finish_program(child);
        run.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(run.reached) << "the file did not reach " << min_rows << " rows";
        return run;
    }

    // The file holds exactly the header and the summary's count of rows, all
    // of them right, and the run ended cleanly. Returns the row count.
    std::uint64_t check_run(const soak_run& run, std::uint64_t min_rows) const {
        EXPECT_EQ(run.result.exit_status, 0) << run.result.out;
        EXPECT_EQ(run.result.out.find("Read timeout/error"), std::string::npos);
        EXPECT_NE(run.result.out.find("Done. Data saved to"), std::string::npos);
        const std::uint64_t rows = check_unpaced_recording(run.file);
        struct stat info {};
        EXPECT_EQ(stat(run.file.c_str(), &info), 0);
        EXPECT_EQ(summary_count(run.result.out), rows);
        EXPECT_EQ(rows % chunk, 0u);
        EXPECT_GE(rows, min_rows);
        return rows;
    }
};

}  // namespace

TEST_F(SoakTest, TenMillionSamplesAllArriveExactlyAndMemoryStaysFlat) {
    const std::string short_dir = dir + "/short";
    ASSERT_EQ(mkdir(short_dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((short_dir + "/recordings").c_str(), 0755), 0);
    soak_run brief = record_unpaced(short_dir, 300000);
    const std::uint64_t brief_rows = check_run(brief, 300000);
    remove_tree(short_dir);  // room on disk for the long run

    soak_run soak = record_unpaced(dir, ten_million);
    const std::uint64_t soak_rows = check_run(soak, ten_million);
    // Every read was whole: the log agrees with the file block for block.
    std::vector<read_call> calls_made = reads();
    std::uint64_t delivered = 0;
    for (const read_call& call : calls_made) {
        if (call.result != 1 || call.delivered != chunk || call.first != delivered) {
            ADD_FAILURE() << "read " << delivered / chunk + 1 << " was not the next whole block";
            break;
        }
        delivered += call.delivered;
    }
    EXPECT_EQ(delivered, soak_rows);

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
