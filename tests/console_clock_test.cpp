#include "console_clock.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// Replaces the C library's clock for this test program, so that now_sec can
// be shown a known time.
namespace {
bool fake_clock = false;
timeval fake_now{};
}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void*) {
    if (fake_clock) {
        *tv = fake_now;
        return 0;
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

TEST(NowSec, SecondsPlusMicroseconds) {
    fake_clock = true;
    fake_now = {12, 500000};
    EXPECT_EQ(now_sec(), 12.5);
    fake_now = {1733650000, 1};
    EXPECT_EQ(now_sec(), 1733650000.000001);
    fake_clock = false;
    EXPECT_GT(now_sec(), 1.6e9);
}

// Puts a descriptor on standard input for one test and restores the real one.
class KbhitTest : public ::testing::Test {
protected:
    int saved_stdin = -1;
    void SetUp() override { saved_stdin = dup(STDIN_FILENO); }
    void TearDown() override {
        dup2(saved_stdin, STDIN_FILENO);
        close(saved_stdin);
        clearerr(stdin);
    }
    void use_as_stdin(int fd) {
        dup2(fd, STDIN_FILENO);
        close(fd);
        clearerr(stdin);
    }
};

// Neither end of file (as after Ctrl-D) nor an empty pipe looks like a key,
// nor leaves O_NONBLOCK set or anything that hides a key written later; a
// key in redirected input counts at once and stays pending for the reader.
TEST_F(KbhitTest, NoInputIsNoKeyAndALaterKeyIsSeenAndStaysPending) {
    char name[] = "/tmp/acc_kbhit_XXXXXX";
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int writers[] = {mkstemp(name), ends[1]};
    ASSERT_GE(writers[0], 0);
    const int readers[] = {open(name, O_RDONLY), ends[0]};
    unlink(name);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "end of file" : "an empty pipe");
        use_as_stdin(readers[i]);
        const int flags = fcntl(STDIN_FILENO, F_GETFL);
        for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(kbhit(), 0);
        EXPECT_EQ(fcntl(STDIN_FILENO, F_GETFL), flags);
        ASSERT_EQ(write(writers[i], "q", 1), 1);
        EXPECT_EQ(kbhit(), 1);
        EXPECT_EQ(getchar(), 'q');
        close(writers[i]);
    }
}

// kbhit polls only its own controlling terminal: the checks run in a child
// for which the pseudo-terminal is that, in a session of its own.
void poll_own_terminal() {
    ASSERT_NE(setsid(), -1);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(ioctl(slave, TIOCSCTTY, 0), 0);
    dup2(slave, STDIN_FILENO);
    clearerr(stdin);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);

    EXPECT_EQ(kbhit(), 0);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(fcntl(slave, F_GETFL) & O_NONBLOCK, 0);

    // In canonical mode this single key, without Enter, would not be read.
    ASSERT_EQ(write(master, "z", 1), 1);
    usleep(20000);  // let the terminal pass the byte on
    EXPECT_EQ(kbhit(), 1);
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    // The terminal stays open until the child exits: closing its master side
    // would hang up the child's own session.
}

TEST_F(KbhitTest, TerminalAttributesAreRestoredAroundEachPoll) {
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        poll_own_terminal();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the checks failed in the child: status " << status;
}
