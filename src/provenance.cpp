#include "provenance.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <sys/timex.h>
#include <unistd.h>

namespace {

// A splitmix64 step: spreads the bits of the fallback's inputs.
std::uint64_t mixed(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void make_run_id(char* run_id) {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof bytes) {
        // A kernel without getrandom: the clocks and the process id still
        // tell runs apart.
        timespec wall{};
        timespec since_boot{};
        clock_gettime(CLOCK_REALTIME, &wall);
        clock_gettime(CLOCK_MONOTONIC, &since_boot);
        std::uint64_t a = mixed(static_cast<std::uint64_t>(wall.tv_sec) * 1000000000ull +
                                static_cast<std::uint64_t>(wall.tv_nsec));
        std::uint64_t b = mixed(a ^ (static_cast<std::uint64_t>(since_boot.tv_nsec) << 20) ^
                                static_cast<std::uint64_t>(getpid()));
        std::memcpy(bytes, &a, 8);
        std::memcpy(bytes + 8, &b, 8);
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(run_id + 2 * i, 3, "%02x", static_cast<unsigned>(bytes[i]));
}

}  // namespace

void init_run_provenance(run_provenance* run, const run_settings* settings, const char* version,
                         const char* library_path, bool simulator) {
    make_run_id(run->run_id);
    run->start_s = 0.0;
    run->settings = settings;
    run->version = version;
    run->library_path = library_path;
    run->simulator = simulator;
    if (gethostname(run->host, sizeof run->host) != 0) run->host[0] = '\0';
    run->host[sizeof run->host - 1] = '\0';
}

clock_state read_clock_state() {
    clock_state clock{};
    timex tx{};
    int state = adjtimex(&tx);
    if (state == -1) return clock;
    clock.known = true;
    clock.synchronized = state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
    clock.max_error_us = tx.maxerror;
    clock.est_error_us = tx.esterror;
    return clock;
}
