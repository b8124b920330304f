#include "program_runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

#ifdef ACC_TEST_EMULATOR
// Built for another machine, the tests run under user-mode emulation, and the
// kernel cannot start the target's programs by itself: start them under the
// same emulator. The loader's variables (LD_PRELOAD) are meant for the
// program, not for the emulator's own loader.
[[noreturn]] void exec_emulated(const program_options& options, const std::vector<char*>& argv) {
    static const char* const emulator[] = {ACC_TEST_EMULATOR};
    std::vector<char*> command;
    for (const char* word : emulator) command.push_back(const_cast<char*>(word));
    for (const std::string& entry : options.env) {
        if (entry.compare(0, 3, "LD_") != 0) continue;
        unsetenv(entry.substr(0, entry.find('=')).c_str());
        command.push_back(const_cast<char*>("-E"));
        command.push_back(const_cast<char*>(entry.c_str()));
    }
    command.insert(command.end(), argv.begin(), argv.end());
    execv(command[0], command.data());
    _exit(127);
}
#endif

[[noreturn]] void exec_child(const program_options& options) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
    if (options.file_size_limit >= 0) {
        rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                     static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    // Start from the defaults a shell gives, whatever the test runner set.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ, SIGTTOU, SIGTTIN})
        std::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (options.closed_fd >= 0) close(options.closed_fd);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.path.c_str()));
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(options.path.c_str(), argv.data());
#ifdef ACC_TEST_EMULATOR
    // Host tools the tests use still start natively.
    if (errno == ENOEXEC) exec_emulated(options, argv);
#endif
    _exit(127);
}

}  // namespace

child_process start_program(const program_options& options) {
    child_process child;
    if (options.use_pty) {
        int master = -1, slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return child;
        pid_t pid = fork();
        if (pid == 0) {
            close(master);
            setsid();
            if (options.controlling_terminal) ioctl(slave, TIOCSCTTY, 0);
            // In a group of its own, the program runs in the background while
            // the terminal's foreground group stays this session leader, which waits.
            pid_t program = options.own_process_group ? fork() : 0;
            if (program == 0) {
                if (options.own_process_group) setpgid(0, 0);
                dup2(slave, 0);
                dup2(slave, 1);
                dup2(slave, 2);
                close(slave);
                exec_child(options);
            }
            // A program stopped by job control would never exit by
            // itself: give it time to run, then ask it to stop.
            sleep(1);
            kill(program, SIGTERM);
            int status = 0;
            while (waitpid(program, &status, WUNTRACED) < 0 && errno == EINTR) {
            }
            if (WIFSTOPPED(status)) {
                kill(program, SIGKILL);
                _exit(99);
            }
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        return {pid, master, -1, slave};
    }

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return child;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return child;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(options.stdin_path.c_str(), O_RDONLY);
        if (in < 0) _exit(125);
        dup2(in, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        exec_child(options);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return {pid, out_pipe[0], err_pipe[0], -1};
}

program_result finish_program(child_process& child) {
    program_result result;
    if (child.pid < 0) return result;
    // Read both streams until the child has exited and they are drained; a
    // terminal's master side reports EIO once the last slave user is gone.
    bool exited = false;
    int status = 0;
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (child.out_fd >= 0) fds[count++] = {child.out_fd, POLLIN, 0};
        if (child.err_fd >= 0) fds[count++] = {child.err_fd, POLLIN, 0};
        if (count == 0 && exited) break;
        int ready = count > 0 ? poll(fds, count, 50) : 0;
        if (ready < 0 && errno != EINTR) break;
        bool any_data = false;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            bool is_out = fds[i].fd == child.out_fd;
            if (got > 0) {
                (is_out ? result.out : result.err).append(buffer, static_cast<size_t>(got));
                any_data = true;
            } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                (is_out ? child.out_fd : child.err_fd) = -1;
            }
        }
        if (!exited) {
            pid_t done = waitpid(child.pid, &status, WNOHANG | WUNTRACED);
            if (done == child.pid) {
                if (WIFSTOPPED(status)) {
                    result.stopped = true;
                    kill(child.pid, SIGKILL);
                    continue;
                }
                exited = true;
            }
        } else if (!any_data && child.pty_slave_fd >= 0) {
            // The test holds the slave open, so the master never reports
            // end of file: once the child is gone and nothing is left, stop.
            break;
        }
    }
    if (child.out_fd >= 0) close(child.out_fd);
    if (child.err_fd >= 0) close(child.err_fd);
    if (child.pty_slave_fd >= 0) close(child.pty_slave_fd);
    child.out_fd = child.err_fd = child.pty_slave_fd = -1;
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
    child.pid = -1;
    return result;
}

program_result run_program(const program_options& options) {
    child_process child = start_program(options);
    return finish_program(child);
}

std::string shell_command(const std::string& path) {
    std::vector<std::string> words;
#ifdef ACC_TEST_EMULATOR
    for (const char* word : {ACC_TEST_EMULATOR}) words.emplace_back(word);
#endif
    words.push_back(path);
    std::string command;
    for (const std::string& word : words) {
        std::string quoted = "'";
        for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += (command.empty() ? "" : " ") + quoted + "'";
    }
    return command;
}

void type_keys(const child_process& child, const std::string& keys) {
    ssize_t written = write(child.out_fd, keys.data(), keys.size());
    (void)written;
}

std::string find_tool(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string json_value(const std::string& json, const std::string& key) {
    std::size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return {};
    at += key.size() + 4;
    std::size_t end = json[at] == '"' ? json.find('"', at + 1) + 1 : json.find_first_of(",}\n", at);
    return json.substr(at, end - at);
}

std::vector<std::string> lines_starting_with(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : split_lines(text))
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

bool read_until(int fd, std::string* text, const std::function<bool(const std::string&)>& done,
                double timeout_s) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (!done(*text) && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text->append(buffer, static_cast<std::size_t>(n));
    }
    return done(*text);
}

bool wait_for_lines(const std::string& path, const std::string& prefix, std::size_t count,
                    double timeout_s) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < until) {
        if (lines_starting_with(read_file(path), prefix).size() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/acc_test_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* made = mkdtemp(buffer.data());
    return made ? std::string(made) : std::string();
}

void remove_tree(const std::string& path) {
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char* entry, const struct stat*, int, FTW*) { return remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void remove_unless_failed(const std::string& dir, bool failed) {
    if (failed)
        std::fprintf(stderr, "kept %s for inspection\n", dir.c_str());
    else
        remove_tree(dir);
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> list_data_files(const std::string& path) {
    std::vector<std::string> names;
    for (const std::string& name : list_dir(path))
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".csv") == 0)
            names.push_back(name);
    return names;
}
