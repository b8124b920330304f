// acc_archive end to end on a data directory as a board has it: finished
// hourly files, the one being recorded, files that are not recordings, and
// what an interrupted run left behind.
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <map>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

#include "archive_fixture.h"
#include "compact_file.h"
#include "compress_file.h"
#include "recorded_file.h"
#include "recording_files.h"
#include "recording_summary.h"

namespace {

class ArchiveTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { remove_tree(dir); }
    std::string at(const std::string& name) const { return dir + "/" + name; }
};

TEST_F(ArchiveTest, CompressesFinishedRecordingsAndLeavesEverythingElse) {
    // The last one interrupted by a power cut: a row cut short, then NUL bytes.
    const std::vector<std::string> finished = {
        "ai0_accel_20250314_090000", "ai0_accel_20250314_100000_2", "ai0_accel_20250314_103000"};
    std::vector<std::string> contents;
    for (const std::string& stem : finished) {
        const auto i = static_cast<std::uint32_t>(contents.size());
        contents.push_back(recording_text(static_cast<int>(30000 + i * 7000), 7 + i) +
                           (i == 2 ? "3.700000,0.51" + std::string(4096, '\0') : ""));
        write_file(at(stem + ".csv"), contents.back());
        write_file(at(stem + ".json"), "{\"start_utc\": \"2025-03-14T08:00:00.000000Z\"}\n");
        ASSERT_EQ(chmod(at(stem + ".csv").c_str(), 0640), 0);
    }
    const timespec ended[2] = {{1741950000, 0}, {1741950000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, at(finished[0] + ".csv").c_str(), ended, 0), 0);
    // Left alone: the file being recorded, a compressed file, a foreign file,
    // files with a recording's name but not its header or no such date, a link out of DIR.
    const std::string live = "ai0_accel_20250314_110000.csv";
    const std::string live_text = recording_text(1500, 3);
    write_file(at(live), live_text);
    const std::map<std::string, std::string> others = {
        {"ai0_accel_20250314_080000.csv.zst", "not touched"},
        {"notes.csv", std::string(data_file_header) + "my own notes\n"},
        {"ai0_accel_20250314_070000.csv", "Time,Volt\n0.1,0.5\n"},
        // Cut before its header was stored: a size kept, NUL bytes for data.
        {"ai0_accel_20250314_073000.csv", std::string(4096, '\0')},
        {"ai0_accel_20250332_060000.csv", recording_text(10, 1)},
    };
    for (const auto& [name, text] : others) write_file(at(name), text);
    const std::string outside = make_temp_dir();
    write_file(outside + "/elsewhere.csv", contents[0]);
    ASSERT_EQ(
        symlink((outside + "/elsewhere.csv").c_str(), at("ai0_accel_20250314_050000.csv").c_str()),
        0);
    write_file(at(".ai0_accel_20250314_090000.csv.acz.tmp"), "partial");
    write_file(at(".ai0_summary_20250314_090000.csv.gz.tmp"), "partial");

    const int held = open(at(live).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // A second run waits for the one holding the directory.
    const int other_run = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(other_run, LOCK_EX), 0);
    child_process child = start_program(archiver({dir}));
    std::string waiting;
    const std::string said = "another run is archiving " + dir + "; waiting for it";
    EXPECT_TRUE(read_until(
        child.err_fd, &waiting,
        [&said](const std::string& text) { return text.find(said) != std::string::npos; }, 5.0))
        << waiting;
    EXPECT_EQ(list_dir(dir).size(), 15u) << "nothing done while waiting";
    close(other_run);
    program_result run = finish_program(child);
    close(held);

    EXPECT_EQ(run.exit_status, 0) << run.err;
    for (const char* name :
         {".ai0_accel_20250314_090000.csv.acz.tmp", ".ai0_summary_20250314_090000.csv.gz.tmp"})
        EXPECT_NE(run.out.find(std::string("removed stale temporary ") + name + "\n"),
                  std::string::npos)
            << run.out;
    EXPECT_EQ(run.out.find("removed stale temporary "), 0u) << "before anything else";
    auto compressed_line = [](const std::string& name) {
        return "compressed " + name + " -> " + name + ".acz (ratio ";
    };
    for (std::size_t i = 0; i < finished.size(); ++i) {
        const std::string name = finished[i] + ".csv";
        EXPECT_NE(run.out.find(compressed_line(name)), std::string::npos) << run.out;
        EXPECT_EQ(access(at(name).c_str(), F_OK), -1) << name << " is still there";
        EXPECT_EQ(restored(at(name + ".acz")), contents[i]) << name;
        struct stat packed {};
        ASSERT_EQ(stat(at(name + ".acz").c_str(), &packed), 0);
        EXPECT_EQ(packed.st_mode & 07777, 0640u) << name;
        EXPECT_EQ(read_file(at(finished[i] + ".json")).find("start_utc"), 2u);
        if (i == 0) {
            EXPECT_EQ(packed.st_mtime, ended[1].tv_sec) << "the recording's end kept";
        }
    }
    EXPECT_EQ(read_file(at(live)), live_text);
    for (const auto& [name, text] : others) EXPECT_EQ(read_file(at(name)), text) << name;
    struct stat link {};
    EXPECT_EQ(lstat(at("ai0_accel_20250314_050000.csv").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(read_file(outside + "/elsewhere.csv"), contents[0]);
    remove_tree(outside);
    EXPECT_EQ(list_dir(dir).size(), 16u) << "each compressed one with its summary";
    EXPECT_NE(run.out.find("\nSummary: 3 compressed ("), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(", 0 deleted, 0 failed, 1 being recorded; "), std::string::npos)
        << run.out;
}

TEST_F(ArchiveTest, AStopSignalEndsTheRunWithStatusFiveAfterTheFileAtHand) {
    SKIP_WITHOUT_FAILURE_SHIM();
    // Two old recordings to delete, by age or for room, their summaries
    // there; stopped at the first one's directory sync, the signal comes in.
    const timespec old[2] = {{1735689600, 0}, {1735689600, 0}};
    const std::string packed = zstd_of(recording_text(10, 1));
    for (const char* option : {"--keep-days=1", "--keep-free=99%"}) {
        for (const char* stem : {"ai0_accel_20250101_000000", "ai0_accel_20250102_000000"}) {
            write_file(at(std::string(stem) + ".csv.zst"), packed);
            write_file(at(std::string("ai0_summary_") + (stem + 10) + ".csv.gz"), "");
            ASSERT_EQ(utimensat(AT_FDCWD, at(std::string(stem) + ".csv.zst").c_str(), old, 0), 0);
        }
        child_process child = start_program(
            archiver({option, dir}, {"LD_PRELOAD=" FAILURE_SHIM_PATH, "ACC_TEST_SYNC_STOP=1"}));
        ASSERT_GT(child.pid, 0);
        siginfo_t info{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid), &info, WSTOPPED | WEXITED), 0);
        ASSERT_EQ(info.si_code, CLD_STOPPED) << option;
        kill(child.pid, SIGTERM);
        kill(child.pid, SIGCONT);
        program_result run = finish_program(child);
        EXPECT_EQ(run.exit_status, 5) << option << run.out << run.err;
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"ai0_accel_20250102_000000.csv.zst",
                                                           "ai0_summary_20250101_000000.csv.gz",
                                                           "ai0_summary_20250102_000000.csv.gz"}));
    }
}

TEST_F(ArchiveTest, AFileThatIsNoFinishedRecordingIsNotKeptOpen) {
    write_file(at("live.csv"), recording_text(10, 1));
    write_file(at("other.csv"), std::string(data_file_header_size, 'x'));
    const int held = open(at("live.csv").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::size_t open_before = list_dir("/proc/self/fd").size();
    for (const char* name : {"live.csv", "other.csv"}) {
        data_state state = data_state::finished;
        int fd = 0;
        EXPECT_EQ(open_data_file(dir_fd, name, &state, &fd), 0);
        EXPECT_EQ(fd, -1) << name;
        EXPECT_NE(state, data_state::finished) << name;
    }
    // Nor a finished one, once the scan has looked at it.
    write_file(at("ai0_accel_20250102_000000.csv"), recording_text(10, 1));
    std::vector<recording> recordings;
    std::vector<std::string> temporaries;
    EXPECT_EQ(scan_directory(dir_fd, &recordings, &temporaries), 0);
    EXPECT_EQ(recordings.size(), 1u);
    EXPECT_EQ(list_dir("/proc/self/fd").size(), open_before);
    // Nor its summary, nor its compression, in either form. A summary keeps
    // no memory either, once the first has left what is kept for good.
    const volatile std::sig_atomic_t stop = 0;
    summary_result summary{};
    std::size_t heap_before = 0;
    for (int pass = 0; pass < 2; ++pass) {
        heap_before = mallinfo2().uordblks;
        EXPECT_EQ(write_summary(dir_fd, "ai0_accel_20250102_000000",
                                "ai0_accel_20250102_000000.csv", &stop, &summary),
                  0);
    }
    // A few bytes may go to the C library's own first uses; a reader's
    // buffer kept would be a mebibyte.
    EXPECT_LT(mallinfo2().uordblks, heap_before + 65536);
    EXPECT_EQ(list_dir("/proc/self/fd").size(), open_before);
    for (const archive_format format : {archive_format::zst, archive_format::compact}) {
        if (format == archive_format::compact)
            write_file(at("ai0_accel_20250102_000000.csv"), recording_text(10, 1));
        compress_result result{};
        EXPECT_EQ(
            compress_recording(dir_fd, "ai0_accel_20250102_000000", format, 3, &stop, &result), 0);
        EXPECT_EQ(list_dir("/proc/self/fd").size(), open_before);
    }
    close(dir_fd);
    close(held);
}

TEST_F(ArchiveTest, RestoreGivesBackEveryArchivedFormByteForByte) {
    // Three frames and a cut-short row.
    const std::string cut = recording_text(70000, 7) + "7.000100,0.51";
    const std::string stem = "ai0_accel_20250314_09000";
    write_file(at(stem + "0.csv"), cut);
    program_result run = run_program(archiver({dir}));
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(restored(at(stem + "0.csv.acz")), cut);
    write_file(at(stem + "2.csv"), cut);
    run = run_program(archiver({"--format", "zst", dir}));
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(decompressed(read_file(at(stem + "2.csv.zst"))), cut);
    EXPECT_EQ(restored(at(stem + "2.csv.zst")), cut);
    gzFile gz = gzopen(at("made.csv.gz").c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    EXPECT_EQ(gzwrite(gz, cut.data(), static_cast<unsigned>(cut.size())),
              static_cast<int>(cut.size()));
    EXPECT_EQ(gzclose(gz), Z_OK);
    EXPECT_EQ(restored(at("made.csv.gz")), cut);

    // Damage costs its frame alone, and says what it is.
    const std::string packed = read_file(at(stem + "0.csv.acz"));
    std::string flipped = packed;
    flipped[packed.size() / 2] ^= 0x04;
    write_file(at("flipped.acz"), flipped);
    write_file(at("cut.acz"), packed.substr(0, packed.size() - 100));
    const std::string zst = read_file(at(stem + "2.csv.zst"));
    write_file(at("cut.zst"), zst.substr(0, zst.size() - 100));
    struct damage_case {
        const char* name;
        const char* message;
    };
    const damage_case cases[] = {
        {"flipped.acz",
         ": damaged: a frame's content fails its checksum; 1 damaged frame left out, the rest "
         "written\n"},
        {"cut.acz", ": cut short: the file ends inside a frame; 1 damaged frame left out"},
        {"cut.zst", " (decompress: Bad message)"},
    };
    for (const damage_case& c : cases) {
        run = run_program(archiver({"--restore", at(c.name)}));
        EXPECT_EQ(run.exit_status, 1) << c.name;
        EXPECT_NE(run.err.find(at(c.name) + c.message), std::string::npos) << run.err;
        EXPECT_LT(run.out.size(), cut.size()) << c.name;
        EXPECT_EQ(cut.compare(0, 1000, run.out, 0, 1000), 0) << "the first frame written";
    }
    write_file(at("notes.txt"), "my notes\n");
    run = run_program(archiver({"--restore", at("notes.txt")}));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "acc_archive: " + at("notes.txt") +
                           ": not an archived recording (compact, zstd or gzip)\n");
}

// The values of `key` in the trend's intervals of `acc_inspect --json`, in
// order; null as empty, as a summary writes it.
std::vector<std::string> interval_values(const std::string& json, const std::string& key) {
    std::vector<std::string> values;
    const std::string quoted = "\"" + key + "\": ";
    for (std::size_t at = json.find(quoted, json.find("\"intervals\": [")); at != std::string::npos;
         at = json.find(quoted, at + 1)) {
        const std::string value = json_value(json.substr(at), key);
        values.push_back(value == "null" ? "" : value);
    }
    return values;
}

TEST_F(ArchiveTest, TheSummaryHoldsTheTrendsFiguresOfEachSecondOfItsRecording) {
    // 7 s at the provenance's 5 kHz, not this build's rate: 50 Hz, four
    // times as strong in the fifth second, with a gap and an overlap.
    const std::string stem = "ai0_accel_20261208_030000";
    const std::string text = timed_rows_text(
        35000,
        [](int n) { return 0.1 + n * 2e-4 + (n >= 15000 ? 0.3 : 0.0) - (n >= 25000 ? 0.2 : 0.0); },
        [](int n) {
            return 0.5 + (n / 5000 == 4 ? 1.0 : 0.25) * std::sin(2 * M_PI * 50 * n * 2e-4) +
                   1e-3 * std::sin(n * 1.7);
        });
    write_file(at(stem + ".csv"), text);
    write_file(at(stem + ".json"),
               provenance_of(run_a, 1, "", "2026-12-08T01:59:59.900000Z",
                             "{\"sample_rate_hz\": 5000.0, \"sensitivity_mv_per_g\": 500.0}"));
    program_result run = run_program(archiver({dir}));
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string summary = at("ai0_summary_20261208_030000.csv.gz");
    const std::vector<std::string> lines = split_lines(gunzipped(summary));
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "# acc_summary 1");
    EXPECT_EQ(lines[1],
              "start_utc,start_s,rows,rms_g,peak_g,velocity_rms_mm_s,dominant_hz,kurtosis,gaps,"
              "overlaps");
    EXPECT_EQ(lines[2].find("2026-12-08T02:00:00.000Z,0.1,"), 0u) << lines[2];

    program_result inspected =
        run_program({INSPECT_PATH, {at(stem + ".csv.acz"), "--json", "-"}, {}, {}});
    ASSERT_EQ(inspected.exit_status, 0) << inspected.err;
    const char* columns[] = {"start_s",           "rows",        "rms_g",   "peak_g",
                             "velocity_rms_mm_s", "dominant_hz", "kurtosis"};
    std::vector<std::vector<std::string>> summarized(std::size(columns));
    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::vector<std::string> fields;
        for (std::size_t from = 0, comma = 0; comma != std::string::npos; from = comma + 1) {
            comma = lines[i].find(',', from);
            fields.push_back(lines[i].substr(from, comma - from));
        }
        ASSERT_EQ(fields.size(), 10u) << lines[i];
        for (std::size_t c = 0; c < std::size(columns); ++c) summarized[c].push_back(fields[c + 1]);
        // The overlap's row is in the sixth second, after the gap's.
        EXPECT_EQ(fields[8] + fields[9], i == 5 ? "10" : i == 7 ? "01" : "00") << lines[i];
    }
    for (std::size_t c = 0; c < std::size(columns); ++c)
        EXPECT_EQ(summarized[c], interval_values(inspected.out, columns[c])) << columns[c];
    const std::string& dominant = *std::find_if(summarized[5].begin(), summarized[5].end(),
                                                [](const std::string& f) { return !f.empty(); });
    EXPECT_NEAR(std::stod(dominant), 50.0, 0.5) << "the provenance's rate";
    // As --keep-events reads it back: the highest of the column.
    double highest_velocity = 0.0;
    for (const std::string& v : summarized[4])
        if (!v.empty()) highest_velocity = std::max(highest_velocity, std::stod(v));
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    double read_back = 0.0;
    EXPECT_EQ(summary_highest_velocity(dir_fd, base_name(summary.c_str()), &read_back), 0);
    EXPECT_EQ(read_back, highest_velocity);
    // Left alone once there; an archived recording without one gets one.
    write_file(summary, "kept");
    rename(at(stem + ".csv.acz").c_str(), at("ai0_accel_20261208_040000.csv.acz").c_str());
    run = run_program(archiver({dir}));
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(read_file(summary), "kept");
    EXPECT_EQ(summary_highest_velocity(dir_fd, base_name(summary.c_str()), &read_back), EBADMSG);
    EXPECT_TRUE(std::isnan(read_back)) << "unknown: an event recording";
    // Nor one cut short.
    const std::string whole = read_file(at("ai0_summary_20261208_040000.csv.gz"));
    write_file(summary, whole.substr(0, whole.size() - 12));
    EXPECT_EQ(summary_highest_velocity(dir_fd, base_name(summary.c_str()), &read_back), EBADMSG);
    close(dir_fd);
    EXPECT_EQ(run.out.find("summarized ai0_accel_20261208_040000.csv.acz -> "
                           "ai0_summary_20261208_040000.csv.gz\n"),
              0u)
        << run.out;
    EXPECT_EQ(split_lines(gunzipped(at("ai0_summary_20261208_040000.csv.gz"))).size(),
              lines.size());
}

TEST_F(ArchiveTest, KeepEventsLeavesTheRecordingsAboveTheLevelAndSummariesGoOnlyByTheirOwnAge) {
    // Both ended ten days ago: a, with a second above 4.5 mm/s, and b.
    const std::string packed = zstd_of(recording_text(10, 1));
    const std::time_t ended = std::time(nullptr) - std::time_t{10} * 86400;
    const timespec old[2] = {{ended, 0}, {ended, 0}};
    for (const char* stamp : {"20250101_000000", "20250102_000000", "20241201_000000"}) {
        const std::string velocity = stamp[7] == '1' ? "9.5" : "1.25";
        gzFile gz = gzopen(at(std::string("ai0_summary_") + stamp + ".csv.gz").c_str(), "wb");
        ASSERT_NE(gz, nullptr);
        gzprintf(gz, "# acc_summary 1\nheader\n,0.1,10,0.1,0.2,%s,50,3,0,0\n", velocity.c_str());
        gzclose(gz);
        if (stamp[3] == '4') continue;  // a summary alone: its recording went before
        const std::string name = std::string("ai0_accel_") + stamp + ".csv.zst";
        write_file(at(name), packed);
        ASSERT_EQ(utimensat(AT_FDCWD, at(name).c_str(), old, 0), 0);
    }
    program_result run = run_program(
        archiver({"--keep-days", "7", "--keep-events", "4.5", "--keep-summary-days", "5", dir}));
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out.find("deleted ai0_accel_20250102_000000.csv.zst (older than 7 days)\n"
                           "deleted ai0_summary_20241201_000000.csv.gz (summary older than 5 "
                           "days)\ndeleted ai0_summary_20250102_000000.csv.gz (summary older "
                           "than 5 days)\nSummary: "),
              0u)
        << run.out;
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"ai0_accel_20250101_000000.csv.zst",
                                                       "ai0_summary_20250101_000000.csv.gz"}));
}

TEST_F(ArchiveTest, ASummaryThatCannotBeWrittenKeepsItsRecordingUncompressed) {
    SKIP_WITHOUT_FAILURE_SHIM();
    const std::string name = "ai0_accel_20250314_090000.csv";
    const std::string text = recording_text(3000, 1);
    write_file(at(name), text);
    // A write that stores nothing is a failure, not a reason to try forever.
    for (const auto& sick :
         {std::pair<const char*, const char*>{"ACC_TEST_FAIL_SYNC_FROM=1", "sync"},
          {"ACC_TEST_WRITE_NOTHING=1", "write"}}) {
        program_result run =
            run_program(archiver({dir}, {"LD_PRELOAD=" FAILURE_SHIM_PATH, sick.first}));
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.err, "acc_archive: cannot write the summary of " + name + " (" + sick.second +
                               ": Input/output error); the original is kept\n");
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{name});
        EXPECT_EQ(read_file(at(name)), text);
        EXPECT_NE(run.out.find("Summary: 0 compressed (0 B -> 0 B), 0 deleted, 1 failed"),
                  std::string::npos)
            << run.out;
    }
}

struct usage_case {
    std::vector<std::string> args;
    const char* message;
};

TEST_F(ArchiveTest, UsageErrorsNameTheOption) {
    const usage_case cases[] = {
        {{"--keep-free", "lots", "DIR"}, "--keep-free: a size such as 500M, 4G or 10%, not 'lots'"},
        {{"--keep-free", "100%", "DIR"}, "--keep-free: a size such as"},
        {{"--keep-free", "1X", "DIR"}, "--keep-free: a size such as"},
        {{"--keep-free", "4GB", "DIR"}, "--keep-free: a size such as"},
        {{"--keep-free", "1G", "--keep-free", "2G", "DIR"}, "--keep-free given twice"},
        {{"--keep-days", "0", "DIR"}, "--keep-days: a whole number of days from 1 to 36500"},
        {{"--level", "20", "DIR"}, "--level: a level from 1 to 19, not '20'"},
        // The bounds themselves are taken.
        {{"--level", "19", "--keep-days", "36500", "--keep-days", "1", "DIR"},
         "--keep-days given twice"},
        {{"--keep-days", "1", "--level", "1", "--level", "19", "DIR"}, "--level given twice"},
        {{"DIR", "--keep-days"}, "--keep-days needs a value"},
        {{"--keep", "1G", "DIR"}, "unknown option --keep"},
        {{}, "no directory given"},
        {{"DIR", "OTHER"}, "more than one directory: OTHER"},
        {{"--format", "xz", "DIR"}, "--format: compact or zst, not 'xz'"},
        {{"--restore", "FILE", "DIR"}, "--restore takes no directory: "},
        {{"--restore", "FILE", "--level", "3"}, "--restore goes alone"},
        {{"--restore", "FILE", "--keep-events", "3"}, "--restore goes alone"},
        {{"--keep-events", "-1", "DIR"},
         "--keep-events: a velocity RMS in mm/s such as 4.5, not '-1'"},
        {{"--keep-events", "4.5mm", "DIR"}, "--keep-events: a velocity RMS"},
        {{"--keep-events", "nan", "DIR"}, "--keep-events: a velocity RMS"},
        {{"--keep-summary-days", "0", "DIR"},
         "--keep-summary-days: a whole number of days from 1 to 36500"},
        {{"--keep-summary-days", "1", "--keep-summary-days", "2", "DIR"},
         "--keep-summary-days given twice"},
    };
    for (const usage_case& c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string& arg : args)
            if (arg == "DIR") arg = dir;
        program_result run = run_program(archiver(args));
        EXPECT_EQ(run.exit_status, 2) << c.message;
        EXPECT_EQ(run.err.find(std::string("acc_archive: ") + c.message), 0u) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    program_result missing = run_program(archiver({dir + "/missing"}));
    EXPECT_EQ(missing.exit_status, 3);
    EXPECT_EQ(missing.err,
              "acc_archive: cannot open " + dir + "/missing: No such file or directory\n");
}

}  // namespace
