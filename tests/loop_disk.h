// A small ext4 filesystem in an image file, loop-mounted for one test, and
// power cuts on it: a copy of the image file taken while the program writing
// to it stands still holds exactly what the "disk" held then, through the
// page cache, which is what survives a cut.
#ifndef ACC_TESTS_LOOP_DISK_H
#define ACC_TESTS_LOOP_DISK_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "program_runner.h"

inline program_result run_tool(const std::string& name, std::vector<std::string> args) {
    return run_program({find_tool(name), std::move(args), {}, {}});
}

class LoopDiskTest : public ::testing::Test {
protected:
    std::string dir;
    std::vector<std::string> mounted;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a loop image";
        for (const char* tool : {"mkfs.ext4", "e2fsck", "mount", "umount", "cp"})
            if (find_tool(tool).empty()) GTEST_SKIP() << "needs " << tool << " (e2fsprogs, mount)";
        // Mounts in a namespace of the test's own vanish with it, even when
        // the test is killed; where that is refused, TearDown unmounts.
        if (unshare(CLONE_NEWNS) == 0) ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }

    void TearDown() override {
        bool all_unmounted = true;
        while (!mounted.empty()) all_unmounted &= unmount_last();
        if (!dir.empty() && all_unmounted) remove_unless_failed(dir, HasFailure());
    }

    // A fresh filesystem of `mib` MiB in `image`, mounted on dir/disk; or
    // why it could not be.
    std::string make_disk(const std::string& image, int mib) {
        const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return "cannot make " + image;
        const bool sized = ftruncate(fd, off_t{mib} << 20) == 0;
        close(fd);
        if (!sized) return "cannot size " + image;
        // No blocks reserved for root: the tests run as root.
        program_result made = run_tool("mkfs.ext4", {"-q", "-F", "-m", "0", image});
        if (made.exit_status != 0) return made.err;
        return mount_image(image, dir + "/disk", "loop");
    }

    // Mounts the image `file` on a new directory `where`; the mount's
    // complaint, if any.
    std::string mount_image(const std::string& file, const std::string& where,
                            const std::string& options) {
        if (mkdir(where.c_str(), 0755) != 0) return "cannot make " + where;
        program_result run = run_tool("mount", {"-o", options, file, where});
        if (run.exit_status != 0) return run.err.empty() ? "mount failed" : run.err;
        mounted.push_back(where);
        return {};
    }

    bool unmount_last() {
        program_result run = run_tool("umount", {mounted.back()});
        EXPECT_EQ(run.exit_status, 0) << run.err;
        mounted.pop_back();
        return run.exit_status == 0;
    }

    // What a power cut at this instant leaves of `image`, in `cut`.
    static void copy_image(const std::string& image, const std::string& cut) {
        program_result copied = run_tool("cp", {"--sparse=always", image, cut});
        EXPECT_EQ(copied.exit_status, 0) << copied.err;
    }

    // `cut` repaired as after a real cut and mounted read-only on cut.d:
    // e2fsck's 1 is errors corrected, 4 and up not repaired. Returns cut.d,
    // empty when it could not be mounted.
    std::string mount_cut(const std::string& cut) {
        program_result repaired = run_tool("e2fsck", {"-fy", cut});
        EXPECT_LT(repaired.exit_status, 4) << repaired.out << repaired.err;
        const std::string failed = mount_image(cut, cut + ".d", "loop,ro");
        EXPECT_TRUE(failed.empty()) << failed;
        return failed.empty() ? cut + ".d" : std::string();
    }
};

#endif
