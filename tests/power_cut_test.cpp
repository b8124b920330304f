// A power cut while recording, as a board on an SD card would see it. The
// real recorder, paced by the simulated device, writes onto a fresh ext4
// filesystem in a loop-mounted image file, copied at chosen moments. Each
// copy is repaired, mounted, and its recording compared with the live file.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "data_format.h"
#include "loop_disk.h"
#include "recording_check.h"

namespace {

// One second at risk, plus room for the sync's own time and the copy's.
constexpr double most_lost_s = 1.2;
// Seconds after the start, at different points between two syncs, two of
// them in the first two seconds; all well before the kernel would write the
// data back by itself (~30 s).
constexpr double cut_moments_s[] = {0.6, 1.5, 2.9, 4.1, 5.7, 7.95};

// The rows of a data file's text: its lines but the header.
std::size_t rows_of(const std::string& text) {
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return lines > 0 ? lines - 1 : 0;
}

struct cut {
    double at_s;
    std::size_t live_rows;  // rows the recorder had written when the copy ended
    std::string image;
};

}  // namespace

class PowerCutTest : public LoopDiskTest {
protected:
    std::string image;  // a fresh ext4 image, mounted on `disk`
    std::string disk;
    pid_t recorder_pid = -1;

    void SetUp() override {
        LoopDiskTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        image = dir + "/disk.img";
        disk = dir + "/disk";
        const std::string refused = make_disk(image, 64);
        if (!refused.empty()) GTEST_SKIP() << "cannot mount a loop image here: " << refused;
        ASSERT_EQ(mkdir((disk + "/recordings").c_str(), 0755), 0);
    }

    void TearDown() override {
        if (recorder_pid > 0) {
            kill(recorder_pid, SIGKILL);
            waitpid(recorder_pid, nullptr, 0);
        }
        LoopDiskTest::TearDown();
    }

    // The recorder at `path`, recording onto the disk.
    program_options recorder_on_disk(const char* path) const {
        return {path, {}, disk, {"ACTS2200_SIM_LOG=" + dir + "/device.log"}};
    }
};

TEST_F(PowerCutTest, AtMostAboutOneSecondIsLostAtAnyMoment) {
    program_options options = recorder_on_disk(RECORDER_PATH);
    auto started = std::chrono::steady_clock::now();
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    recorder_pid = child.pid;

    std::vector<cut> cuts;
    std::string name;
    for (double at_s : cut_moments_s) {
        std::this_thread::sleep_until(started + std::chrono::duration<double>(at_s));
        cut taken{at_s, 0, dir + "/cut_" + std::to_string(cuts.size()) + ".img"};
        copy_image(image, taken.image);
        // Counted after the copy: whatever the copy missed counts as lost.
        std::vector<std::string> files = list_data_files(disk + "/recordings");
        ASSERT_EQ(files.size(), 1u);
        name = "/recordings/" + files.front();
        taken.live_rows = rows_of(read_file(disk + name));
        cuts.push_back(taken);
    }
    kill(child.pid, SIGTERM);
    program_result run = finish_program(child);
    recorder_pid = -1;
    EXPECT_EQ(run.exit_status, 0) << run.out;
    ASSERT_TRUE(unmount_last());
    const std::vector<read_call> reads = parse_reads(read_file(dir + "/device.log"));

    double worst_s = 0.0;
    for (const cut& taken : cuts) {
        const std::string view = mount_cut(taken.image);
        ASSERT_FALSE(view.empty());
        const std::string recording = taken.image + ".csv";
        struct stat found {};
        const bool exists = stat((view + name).c_str(), &found) == 0;
        write_file(recording, read_file(view + name));
        ASSERT_TRUE(unmount_last());
        char moment[32];
        std::snprintf(moment, sizeof moment, "cut at %.2f s", taken.at_s);

        // Whole and right up to where the cut left it, at most a line cut short.
        const file_check check = check_data_file(recording, reads);
        EXPECT_TRUE(exists) << moment << ": no data file";
        EXPECT_TRUE(check.fault.empty() || check.cut_short) << moment << ": " << check.fault;
        const std::size_t rows = std::min<std::size_t>(check.rows, taken.live_rows);
        const double lost_s = static_cast<double>(taken.live_rows - rows) / block_rate_hz;
        worst_s = std::max(worst_s, lost_s);
        std::printf("%s: %zu rows written, the file on the disk holds %zu rows%s: %.3f s lost\n",
                    moment, taken.live_rows, rows, check.cut_short ? " and a line cut short" : "",
                    lost_s);
        EXPECT_LE(lost_s, most_lost_s) << moment;
    }
    std::printf("worst loss: %.3f s\n", worst_s);
}

TEST_F(PowerCutTest, RightAfterAFileSwitchTheOldFileIsWholeAndTheNewOneStarted) {
    program_options options = recorder_on_disk(SPAN_RECORDER_PATH);  // a new file every 2 s
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    recorder_pid = child.pid;

    // At two switches: a cut as soon as the new file shows, and one 0.3 s
    // later, when the storage thread has done its part.
    struct switch_cut {
        double after_s;
        std::vector<std::string> names;
        std::vector<std::size_t> live_rows;
        std::string image;
    };
    std::vector<switch_cut> cuts;
    const std::string live = disk + "/recordings/";
    for (std::size_t files = 2; files <= 3; ++files) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (list_data_files(live).size() < files && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto shown = std::chrono::steady_clock::now();
        for (double after_s : {0.0, 0.3}) {
            std::this_thread::sleep_until(shown + std::chrono::duration<double>(after_s));
            switch_cut taken{after_s, {}, {}, dir + "/cut_" + std::to_string(cuts.size()) + ".img"};
            copy_image(image, taken.image);
            taken.names = list_data_files(live);
            ASSERT_EQ(taken.names.size(), files);
            for (const std::string& name : taken.names)
                taken.live_rows.push_back(rows_of(read_file(live + name)));
            cuts.push_back(taken);
        }
    }
    kill(child.pid, SIGTERM);
    program_result run = finish_program(child);
    recorder_pid = -1;
    EXPECT_EQ(run.exit_status, 0) << run.out;

    for (const switch_cut& taken : cuts) {
        const std::string mounted_at = mount_cut(taken.image);
        ASSERT_FALSE(mounted_at.empty());
        const std::string view = mounted_at + "/recordings/";
        std::size_t lost = 0;
        std::vector<std::size_t> rows;
        for (std::size_t i = 0; i < taken.names.size(); ++i) {
            rows.push_back(rows_of(read_file(view + taken.names[i])));
            lost += taken.live_rows[i] - std::min(rows.back(), taken.live_rows[i]);
        }
        const std::string started = taken.names.back();
        const bool header =
            read_file(view + started).compare(0, data_file_header_size, data_file_header) == 0;
        const std::string provenance = started.substr(0, started.size() - 4) + ".json";
        const bool whole = read_file(view + provenance) == read_file(live + provenance);
#ifdef INSPECT_PATH
        // Once the new file is started, the cut run is one recording of every
        // whole row of its files.
        if (header && whole) {
            program_result checked = run_program({INSPECT_PATH, {view, "--json", "-"}, {}, {}});
            EXPECT_EQ(checked.exit_status, 0) << checked.err;
            std::uint64_t on_storage = 0;
            for (std::size_t n : rows) on_storage += n;
            const std::string time_section = checked.out.substr(checked.out.find("\"time\": {"));
            EXPECT_EQ(std::strtoull(json_value(time_section, "rows").c_str(), nullptr, 10),
                      on_storage);
        }
#endif
        ASSERT_TRUE(unmount_last());
        const std::size_t old = rows.size() - 2;
        std::printf(
            "cut %.1f s after the switch to file %zu: the old file holds %zu of %zu rows, "
            "the new one %s header, %s provenance: %.3f s lost\n",
            taken.after_s, rows.size(), rows[old], taken.live_rows[old], header ? "its" : "no",
            whole ? "its" : "no whole", static_cast<double>(lost) / block_rate_hz);
        EXPECT_LE(static_cast<double>(lost) / block_rate_hz, most_lost_s);
        if (taken.after_s > 0.0) {
            EXPECT_EQ(rows[old], taken.live_rows[old]) << "the old file is whole";
            EXPECT_TRUE(header && whole) << "the new file is started";
        }
    }
}
