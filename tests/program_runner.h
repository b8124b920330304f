// Runs a real program the way a user would: with its own working directory,
// environment, standard input and, where needed, a pseudo-terminal.
#ifndef ACC_TESTS_PROGRAM_RUNNER_H
#define ACC_TESTS_PROGRAM_RUNNER_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Ends a test that needs the failure shim in a build that cannot preload it
// (the sanitizers' runtime must come first in the program).
#ifdef ACC_NO_PRELOAD
#define SKIP_WITHOUT_FAILURE_SHIM() GTEST_SKIP() << "the failure shim cannot be preloaded here"
#else
#define SKIP_WITHOUT_FAILURE_SHIM() static_cast<void>(0)
#endif

struct program_options {
    std::string path;
    std::vector<std::string> args;
    std::string cwd;                       // empty: the test's own
    std::vector<std::string> env;          // "NAME=value", added to the test's environment
    std::string stdin_path = "/dev/null";  // ignored with use_pty
    bool use_pty = false;                  // stdin, stdout and stderr on a new terminal
    // With use_pty: run in a background process group, send SIGTERM after a
    // second; exit status 99 means job control stopped the program.
    bool own_process_group = false;
    long file_size_limit = -1;  // RLIMIT_FSIZE in bytes, -1 for none
    // With use_pty: false leaves the terminal nobody's controlling terminal,
    // as for a program started with setsid.
    bool controlling_terminal = true;
    int closed_fd = -1;  // a standard descriptor the program starts without
};

struct child_process {
    pid_t pid = -1;
    int out_fd = -1;        // stdout, or the terminal's master side with use_pty
    int err_fd = -1;        // stderr; -1 with use_pty
    int pty_slave_fd = -1;  // the test's own handle on the child's terminal
};

struct program_result {
    std::string out, err;
    int exit_status = -1;  // -1 when killed by a signal
    int term_signal = 0;
    bool stopped = false;  // the child was stopped by job control
};

child_process start_program(const program_options& options);

// Collects all output until the child exits. A child stopped by job control
// is killed and reported as stopped.
program_result finish_program(child_process& child);

program_result run_program(const program_options& options);

// The words a shell runs the program at `path` with, quoted: the emulator
// comes first when the tests run emulated.
std::string shell_command(const std::string& path);

// Sends the characters to a child started with use_pty.
void type_keys(const child_process& child, const std::string& keys);

// A system tool in the usual directories; empty when there is none.
std::string find_tool(const std::string& name);

// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// Lines of `text` that start with `prefix`.
std::vector<std::string> lines_starting_with(const std::string& text, const std::string& prefix);
std::vector<std::string> split_lines(const std::string& text);
// The words of `text`, however they are spaced.
std::vector<std::string> words_of(const std::string& text);
// The value after "key": in JSON text, a string with its quotes, else up to
// the end of the value or of its line; empty when there is none.
std::string json_value(const std::string& json, const std::string& key);

// Reads what a child writes to `fd` into `text` until `done` holds, the
// writer is gone or `timeout_s` passes; whether `done` holds.
bool read_until(int fd, std::string* text, const std::function<bool(const std::string&)>& done,
                double timeout_s);

// Waits until the file holds at least `count` lines starting with `prefix`.
bool wait_for_lines(const std::string& path, const std::string& prefix, std::size_t count,
                    double timeout_s);

// A fresh, empty directory below the system's temporary directory.
std::string make_temp_dir();
void remove_tree(const std::string& path);
// Removes a test's directory, or after a failure keeps it and says where.
void remove_unless_failed(const std::string& dir, bool failed);

// Names of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& path);
// The same, only the data files (".csv"), without their provenance files.
std::vector<std::string> list_data_files(const std::string& path);

#endif
