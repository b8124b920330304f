// acc_archive on a small ext4 filesystem in a loop-mounted image file: a
// disk that fills, retention, and a power cut at every step of compressing.
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <vector>

#include "archive_fixture.h"
#include "compact_file.h"
#include "loop_disk.h"

namespace {

double free_bytes(const std::string& path) {
    struct statvfs fs {};
    return statvfs(path.c_str(), &fs) == 0
               ? static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize)
               : 0.0;
}

double allocated(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<double>(status.st_blocks) * 512.0 : 0.0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

using ArchiveLoopTest = LoopDiskTest;

}  // namespace

TEST_F(ArchiveLoopTest, AFullDiskKeepsTheOriginalAndRetentionDeletesOnlyFinishedRecordings) {
    std::string refused = make_disk(dir + "/disk.img", 32);
    if (!refused.empty()) GTEST_SKIP() << "cannot mount a loop image here: " << refused;
    const std::string disk = dir + "/disk";
    const std::string data = disk + "/data";
    ASSERT_EQ(mkdir(data.c_str(), 0750), 0);
    auto at = [&data](const std::string& name) { return data + "/" + name; };

    // By start time: old (ended 10 days ago), live (being recorded), b, c.
    // c's name is older than b's, its provenance file says it started later.
    const std::string old_stem = "ai0_accel_20250101_000000";
    const std::string b = "ai0_accel_20250301_100000", c = "ai0_accel_20250301_090000";
    const std::string live = "ai0_accel_20240101_000000.csv";
    const std::string old_text = recording_text(20000, 1);
    const std::string packed = zstd_of(old_text);
    write_file(at(old_stem + ".csv.zst"), packed);
    write_file(at(old_stem + ".json"), "{\"start_utc\": \"2025-01-01T00:00:00.000000Z\"}");
    const time_t ended = time(nullptr) - time_t{10} * 86400;
    const timespec ten_days_ago[2] = {{ended, 0}, {ended, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, at(old_stem + ".csv.zst").c_str(), ten_days_ago, 0), 0);
    const std::string b_text = recording_text(100000, 2), c_text = recording_text(100000, 3);
    write_file(at(b + ".csv"), b_text);
    write_file(at(b + ".json"), "{\"start_utc\": \"2025-03-01T08:00:00.000000Z\"}");
    write_file(at(c + ".csv"), c_text);
    write_file(at(c + ".json"), "{\"start_utc\": \"2025-03-01T11:00:00.250000Z\"}");
    write_file(at(live), recording_text(100, 4));
    write_file(at("notes.csv"), std::string(1 << 20, 'x'));
    write_file(disk + "/outside.csv.zst", packed);
    ASSERT_EQ(symlink("../outside.csv.zst", at("ai0_accel_20240601_000000.csv.zst").c_str()), 0);
    const int held = open(at(live).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // The disk all but full: 200 KiB left, less than either file compresses to.
    const int filler = open((disk + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(posix_fallocate(filler, 0, static_cast<off_t>(free_bytes(disk) - 200 * 1024)), 0);
    close(filler);

    program_result full = run_program(archiver({data}));
    EXPECT_EQ(full.exit_status, 1) << full.out << full.err;
    EXPECT_NE(full.err.find("(write: No space left on device); the original is kept"),
              std::string::npos)
        << full.err;
    EXPECT_EQ(read_file(at(b + ".csv")), b_text);
    EXPECT_EQ(read_file(at(c + ".csv")), c_text);
    EXPECT_EQ(list_dir(data).size(), 11u)
        << "no temporary, no partial output; old's and b's summaries";

    // Deleting `old` by age, then `b` alone brings the free space there.
    const double wanted = free_bytes(disk) + allocated(at(old_stem + ".csv.zst")) +
                          allocated(at(old_stem + ".json")) + allocated(at(b + ".csv")) / 2;
    const std::string keep_free = std::to_string(static_cast<long long>(wanted));
    program_result kept =
        run_program(archiver({"--keep-days", "7", "--keep-free", keep_free, data}));
    EXPECT_EQ(kept.exit_status, 1) << "compressing still failed before the deletions: " << kept.err;
    EXPECT_NE(kept.out.find("deleted " + old_stem + ".csv.zst, " + old_stem +
                            ".json (older than 7 days)\ndeleted " + b + ".csv, " + b +
                            ".json (free space below " + keep_free + ")\nSummary: 0 compressed"),
              std::string::npos)
        << kept.out;
    EXPECT_GE(free_bytes(disk), wanted);
    EXPECT_FALSE(exists(at(b + ".csv")) || exists(at(old_stem + ".json")));
    EXPECT_EQ(read_file(at(c + ".csv")), c_text);
    // Their summaries stay.
    const std::string old_summary = "ai0_summary_20250101_000000.csv.gz";
    const std::string b_summary = "ai0_summary_20250301_100000.csv.gz";
    EXPECT_EQ(list_dir(data),
              (std::vector<std::string>{live, "ai0_accel_20240601_000000.csv.zst", c + ".csv",
                                        c + ".json", old_summary, b_summary, "notes.csv"}));
    EXPECT_EQ(read_file(disk + "/outside.csv.zst"), packed);

    // With the room made, the next run compresses what is left.
    program_result next = run_program(archiver({data}));
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_TRUE(restored(at(c + ".csv.acz")) == c_text);
    // More room than may be made: what may go goes, the rest stays, status 4.
    program_result short_of = run_program(archiver({"--keep-free", "99%", data}));
    EXPECT_EQ(short_of.exit_status, 4) << short_of.out << short_of.err;
    EXPECT_NE(short_of.err.find(" is still below 99%: nothing left that may be deleted\n"),
              std::string::npos)
        << short_of.err;
    EXPECT_EQ(list_dir(data), (std::vector<std::string>{
                                  live, "ai0_accel_20240601_000000.csv.zst", old_summary,
                                  "ai0_summary_20250301_090000.csv.gz", b_summary, "notes.csv"}));
    close(held);
}

TEST_F(ArchiveLoopTest, APowerCutAtAnyStepLeavesEachRecordingWholeOnceOrTwice) {
    SKIP_WITHOUT_FAILURE_SHIM();
    // Each archived form on a disk of its own.
    for (const std::string format : {"compact", "zst"}) {
        SCOPED_TRACE(format);
        const std::string suffix = format == "compact" ? ".acz" : ".zst";
        const std::string image = dir + "/disk_" + format + ".img";
        std::string refused = make_disk(image, 48);
        if (!refused.empty()) GTEST_SKIP() << "cannot mount a loop image here: " << refused;
        const std::string data = dir + "/disk/data";
        ASSERT_EQ(mkdir(data.c_str(), 0750), 0);
        const std::vector<std::string> stems = {
            "ai0_accel_20250314_090000", "ai0_accel_20250314_100000", "ai0_accel_20250314_110000"};
        auto csv_path = [&data](const std::string& stem) {
            return std::string(data).append("/").append(stem).append(".csv");
        };
        std::vector<std::string> texts;
        for (const std::string& stem : stems) {
            texts.push_back(recording_text(60000, static_cast<std::uint32_t>(texts.size())));
            write_file(csv_path(stem), texts.back());
        }
        sync();

        // Stopped before each fsync: the image is copied as a cut would leave it.
        child_process child = start_program(archiver(
            {"--format", format, data}, {"LD_PRELOAD=" FAILURE_SHIM_PATH, "ACC_TEST_SYNC_STOP=1"}));
        ASSERT_GT(child.pid, 0);
        std::vector<std::string> cuts;
        for (;;) {
            siginfo_t info{};
            ASSERT_EQ(
                waitid(P_PID, static_cast<id_t>(child.pid), &info, WSTOPPED | WEXITED | WNOWAIT),
                0);
            if (info.si_code != CLD_STOPPED) break;
            ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid), &info, WSTOPPED), 0);
            cuts.push_back(dir + "/cut_" + format + std::to_string(cuts.size()) + ".img");
            copy_image(image, cuts.back());
            kill(child.pid, SIGCONT);
        }
        program_result run = finish_program(child);
        EXPECT_EQ(run.exit_status, 0) << run.err;
        // Per file: its summary, the directory after the summary's rename, the
        // compressed file, the directory after the rename, the directory after
        // removing the original.
        EXPECT_EQ(cuts.size(), 5 * stems.size());
        auto summary_of = [](const std::string& in, const std::string& stem) {
            return in + "/ai0_summary_" + stem.substr(std::strlen("ai0_accel_")) + ".csv.gz";
        };

        for (std::size_t k = 0; k < cuts.size(); ++k) {
            const std::string view = mount_cut(cuts[k]);
            ASSERT_FALSE(view.empty());
            std::string found;
            for (std::size_t i = 0; i < stems.size(); ++i) {
                const std::string base = view + "/data/" + stems[i] + ".csv";
                const bool original = exists(base), packed = exists(base + suffix);
                found += " " + std::string(original && packed ? "both"
                                           : original         ? "original"
                                           : packed           ? "compressed"
                                                              : "LOST");
                EXPECT_TRUE(original || packed) << "cut " << k << ": " << stems[i] << " lost";
                // Any compressed file by its final name is complete.
                EXPECT_TRUE((original ? read_file(base) : texts[i]) == texts[i]) << "cut " << k;
                EXPECT_TRUE((packed ? restored(base + suffix) : texts[i]) == texts[i])
                    << "cut " << k;
                // So is a summary.
                const std::string summary = summary_of(view + "/data", stems[i]);
                if (exists(summary)) {
                    EXPECT_EQ(gunzipped(summary), gunzipped(summary_of(data, stems[i])))
                        << "cut " << k;
                }
            }
            std::printf("cut before sync %zu:%s\n", k + 1, found.c_str());
            ASSERT_TRUE(unmount_last());
        }
        ASSERT_TRUE(unmount_last());  // the disk, for the next form's
        ASSERT_EQ(rmdir((dir + "/disk").c_str()), 0);
    }
}
