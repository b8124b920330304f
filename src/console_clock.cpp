#include "console_clock.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

int kbhit() {
    // A terminal is polled only when it is this process's controlling
    // terminal (tcgetpgrp fails on any other) with this process group in its
    // foreground. From a background group, touching it would stop the whole
    // recorder (SIGTTOU/SIGTTIN) while the device keeps filling up; a terminal
    // that is not ours (setsid) belongs to a shell whose keys must stay its own.
    if (isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) != getpgrp()) return 0;

    termios saved_attributes{};
    bool have_attributes = tcgetattr(STDIN_FILENO, &saved_attributes) == 0;
    if (have_attributes) {
        termios key_at_a_time = saved_attributes;
        key_at_a_time.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &key_at_a_time);
    }
    int saved_flags = fcntl(STDIN_FILENO, F_GETFL);
    if (saved_flags != -1) fcntl(STDIN_FILENO, F_SETFL, saved_flags | O_NONBLOCK);

    int ch = std::getchar();

    if (have_attributes) tcsetattr(STDIN_FILENO, TCSANOW, &saved_attributes);
    if (saved_flags != -1) fcntl(STDIN_FILENO, F_SETFL, saved_flags);

    if (ch == EOF) {
        // The stream remembers end-of-file and errors; forget them so that
        // the next call asks the descriptor again.
        std::clearerr(stdin);
        return 0;
    }
    std::ungetc(ch, stdin);
    return 1;
}

double now_sec() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}
