// The recording loop's two windows on the outside world: the keyboard and
// the wall clock.
#ifndef ACC_CONSOLE_CLOCK_H
#define ACC_CONSOLE_CLOCK_H

// 1 when a character is waiting on standard input, else 0. Never waits; the
// character stays pending on the standard input stream. A terminal that is
// not this process's controlling terminal with its group in the foreground
// is left alone: 0.
int kbhit();

// Wall-clock seconds since the epoch, microsecond resolution.
double now_sec();

#endif
