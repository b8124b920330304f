// A running program's own peak resident memory.
//
// wait4's ru_maxrss cannot tell it: a forked child starts with its parent's
// high-water mark, and exec keeps it, so it reports at least the test's own
// peak. The kernel's VmHWM belongs to the address space exec created.
#ifndef ACC_TESTS_PEAK_MEMORY_H
#define ACC_TESTS_PEAK_MEMORY_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/types.h>

// Under AddressSanitizer the runtime's bookkeeping (fake stack frames for
// use-after-return, quarantine) grows with a run by itself: memory is
// compared in plain builds, whose tests run the same code.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool memory_is_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool memory_is_sanitized = true;
#else
constexpr bool memory_is_sanitized = false;
#endif
#else
constexpr bool memory_is_sanitized = false;
#endif

// A "<field>: <n> kB" line of the live process's /proc status, or -1.
inline long proc_status_kib(pid_t pid, const char* field) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE* status = std::fopen(path.c_str(), "r");
    if (!status) return -1;
    const std::size_t field_size = std::strlen(field);
    long kib = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, field_size) == 0 && line[field_size] == ':') {
            kib = std::strtol(line + field_size + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib;
}

// Peak resident memory in KiB: the program, its libraries and its data.
inline long peak_rss_kib(pid_t pid) { return proc_status_kib(pid, "VmHWM"); }

// Resident memory of its own data (heap, stack, written pages) in KiB.
// The libraries' pages vary from run to run with what the page cache holds;
// these do not.
inline long anon_rss_kib(pid_t pid) { return proc_status_kib(pid, "RssAnon"); }

#endif
