#include "command_line.h"

#include <cstdio>
#include <cstdlib>

volatile std::sig_atomic_t stop_signal = 0;

namespace {

void on_stop_signal(int sig) { stop_signal = sig; }

}  // namespace

int report_usage_error(const char* program, const char* usage, const char* message,
                       const char* argument) {
    std::fprintf(stderr, "%s: %s%s\n%s", program, message, argument ? argument : "", usage);
    return exit_usage;
}

int print_version(const char* program, const char* version) {
    std::printf("%s %s\n", program, version);
    return 0;
}

bool parse_whole(const char* text, unsigned long long lowest, unsigned long long highest,
                 unsigned long long* value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (*end != '\0' || n < lowest || n > highest) return false;
    *value = n;
    return true;
}

const char* long_option_name(const option* table, int id) {
    for (; table->name; ++table)
        if (table->val == id) return table->name;
    return "?";
}

void catch_stop_signals(std::initializer_list<int> signals) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : signals) sigaction(sig, &action, nullptr);
}
