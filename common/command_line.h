// What acc_inspect and acc_archive share on the command line: the usage
// error and its status, the version line, a whole number as an option's
// value, an option's name, and the signals that ask a run to stop.
#ifndef ACC_COMMON_COMMAND_LINE_H
#define ACC_COMMON_COMMAND_LINE_H

#include <csignal>
#include <getopt.h>
#include <initializer_list>

// Status 2, a usage error: nothing was done.
constexpr int exit_usage = 2;

// "PROGRAM: MESSAGEARGUMENT" and the usage on stderr; `argument` may be
// nullptr. Returns exit_usage.
int report_usage_error(const char* program, const char* usage, const char* message,
                       const char* argument);

// "PROGRAM VERSION" on stdout. Returns 0.
int print_version(const char* program, const char* version);

// Digits alone (no sign, no space), from `lowest` to `highest`.
bool parse_whole(const char* text, unsigned long long lowest, unsigned long long highest,
                 unsigned long long* value);

// The name of the entry of a getopt_long table whose `val` is `id`, "?" when
// there is none.
const char* long_option_name(const option* table, int id);

// The stop signal that came, 0 until one did. Only its handler sets it.
extern volatile std::sig_atomic_t stop_signal;

// Each of `signals` sets stop_signal instead of ending the program. No
// SA_RESTART: a wait it interrupts returns EINTR, and the caller reads the
// flag.
void catch_stop_signals(std::initializer_list<int> signals);

#endif
