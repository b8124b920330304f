// The recorder as a headless board runs it: from an interactive shell over a
// connection that drops, under nohup, started with setsid, and from scripts
// that close standard descriptors.
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "recorder_fixture.h"

namespace {

// An interactive shell on a terminal of its own, as a login over SSH has
// one. Closing the terminal's master side is the dropped connection.
class ShellSessionTest : public RecorderTest {
protected:
    child_process shell;
    pid_t left_running = -1;  // a recorder the shell left behind

    void SetUp() override {
        RecorderTest::SetUp();
        program_options options{"/bin/bash",
                                {"--norc", "--noprofile", "-i"},
                                dir,
                                {"ACTS2200_SIM_LOG=" + log_path, "HISTFILE=/dev/null", "PS1=$ "}};
        options.use_pty = true;
        shell = start_program(options);
        ASSERT_GT(shell.pid, 0);
        close(shell.pty_slave_fd);
        shell.pty_slave_fd = -1;
    }
    void TearDown() override {
        if (shell.out_fd >= 0) close(shell.out_fd);
        for (pid_t pid : {shell.pid, left_running}) {
            if (pid <= 0) continue;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        RecorderTest::TearDown();
    }

    void type_line(const std::string& line) const { type_keys(shell, line + "\n"); }

    // Drops the connection and waits until the shell has exited, and with it
    // sent every hang-up it and the kernel send.
    void hang_up() {
        close(shell.out_fd);
        shell.out_fd = -1;
        int status = 0;
        ASSERT_EQ(waitpid(shell.pid, &status, 0), shell.pid);
        shell.pid = -1;
    }
};

}  // namespace

TEST_F(ShellSessionTest, AHangUpEndsTheRecordingInOrderHoweverOftenItArrives) {
    // The console text goes to a reader that takes nothing until the shell
    // is gone, so the recorder is still stopping when the kernel repeats the
    // hang-up after the shell's exit.
    std::string console_path = dir + "/console";
    ASSERT_EQ(mkfifo(console_path.c_str(), 0600), 0);
    int console = open(console_path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(console, 0);
    // A shell that takes a moment to exit (saving its history, a logout
    // script) makes the hang-up it passes on and the kernel's arrive apart.
    type_line("trap 'sleep 0.5' EXIT");
    type_line(shell_command(RECORDER_PATH) + " > console");
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    const auto to_the_end = [](const std::string&) { return false; };
    std::string text;
    read_until(console, &text, to_the_end, 0.3);  // what the pipe holds so far
    int filler = open(console_path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    const std::string block(4096, '.');
    for (std::size_t size : {block.size(), std::size_t{1}})
        while (write(filler, block.data(), size) == static_cast<ssize_t>(size)) {
        }
    close(filler);

    hang_up();
    // The recorder was the shell's child: its end shows as the end of its
    // text, and "Done." only after a teardown that left status 0.
    read_until(console, &text, to_the_end, 60.0);
    close(console);
    expect_clean_stop(program_result{text, "", 0});
}

TEST_F(ShellSessionTest, UnderNohupTheRecordingOutlivesTheHangUp) {
    type_line("nohup " + shell_command(RECORDER_PATH) +
              " > console.log 2>&1 & echo $! > recorder.pid");
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    ASSERT_TRUE(wait_for_lines(dir + "/recorder.pid", "", 1, 30.0));
    pid_t recorder_pid = std::stoi(read_file(dir + "/recorder.pid"));
    left_running = recorder_pid;

    hang_up();
    std::size_t reads_at_hang_up = reads().size();
    EXPECT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", reads_at_hang_up + 5, 20.0))
        << "the recording ended with the connection";
    kill(recorder_pid, SIGTERM);
    // "Done." comes only after a teardown that left status 0.
    ASSERT_TRUE(
        wait_for_lines(dir + "/console.log", "Done. Data saved to " + only_recording(), 1, 30.0))
        << read_file(dir + "/console.log");
    left_running = -1;
    EXPECT_EQ(last_calls(3), release_order());
}

TEST_F(RecorderTest, ATerminalThatIsNotItsOwnKeepsItsKeys) {
    program_options options = recorder();
    options.use_pty = true;
    options.controlling_terminal = false;  // as setsid leaves it
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    type_keys(child, "ls\n");
    std::size_t reads_when_typed = reads().size();
    EXPECT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", reads_when_typed + 5, 20.0))
        << "the keys stopped the recording";
    pollfd waiting{child.pty_slave_fd, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 5000), 1);
    char keys[16];
    ssize_t got = read(child.pty_slave_fd, keys, sizeof keys);
    EXPECT_EQ(std::string(keys, got > 0 ? static_cast<std::size_t>(got) : 0), "ls\n")
        << "the keys are left to the terminal's owner";
    kill(child.pid, SIGTERM);
    expect_clean_stop(finish_program(child));
}

class ClosedDescriptorTest : public RecorderTest, public ::testing::WithParamInterface<int> {};

TEST_P(ClosedDescriptorTest, IsOpenedOnDevNullSoTheDataFileNeverTakesIt) {
    program_options options = recorder();
    options.closed_fd = GetParam();
    child_process child = start_program(options);
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", 3, 30.0));
    const std::string link =
        "/proc/" + std::to_string(child.pid) + "/fd/" + std::to_string(GetParam());
    std::error_code unreadable;
    const std::string target = std::filesystem::read_symlink(link, unreadable).string();
    kill(child.pid, SIGTERM);
    program_result run = finish_program(child);
    EXPECT_EQ(target, "/dev/null");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(check_recording(dir + "/" + only_recording(), reads()).fault, "")
        << "console text in the data file";
    EXPECT_EQ(last_calls(3), release_order());
}

INSTANTIATE_TEST_SUITE_P(Standard, ClosedDescriptorTest, ::testing::Values(0, 1, 2));
