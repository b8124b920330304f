// Preloaded into a program under test to make one step fail as it would on a
// sick system:
//   ACC_TEST_FAIL_ALLOC_SIZE=<n>   malloc of exactly n bytes fails (ENOMEM)
//   ACC_TEST_FAIL_LOCALTIME=1      localtime returns NULL (EOVERFLOW)
//   ACC_TEST_FAIL_CLOSE=1          fclose of a regular file closes it but
//                                  returns EOF (EIO), as a delayed write error
//   ACC_TEST_WRITE_NOTHING=1       write to a regular file stores nothing and
//                                  returns 0
//   ACC_TEST_FAIL_SYNC=1           fsync and fdatasync fail with EIO, every
//                                  call (ACC_TEST_FAIL_SYNC_FROM=1)
//   ACC_TEST_FAIL_THREAD=1         pthread_create fails with EAGAIN
//   ACC_TEST_FAIL_COND=1           pthread_condattr_init fails with ENOMEM
// or to step the wall clock as an administrator or a time daemon would:
//   ACC_TEST_CLOCK_STEP=<n>:<s>    gettimeofday is <s> seconds off from its
//                                  n-th call on (calls counted from 1)
// or to say what the kernel knows of its clock:
//   ACC_TEST_CLOCK_SYNCED=1        adjtimex reports the clock synchronised,
//                                  0 not (STA_UNSYNC), both with TIME_OK
// or to make storage slow or sick:
//   ACC_TEST_SYNC_DELAY_MS=<n>     fsync and fdatasync sleep n ms first
//   ACC_TEST_FAIL_SYNC_FROM=<n>    fsync and fdatasync fail with EIO from
//                                  their n-th call on (counted together)
// or to take a snapshot of storage just before each sync:
//   ACC_TEST_SYNC_STOP=1           fsync and fdatasync first stop the process
//                                  (SIGSTOP) until it is continued
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <unistd.h>

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming): glibc's own
extern "C" void* __libc_malloc(std::size_t size);
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming): glibc's own
extern "C" int _IO_fclose(std::FILE* stream);

namespace {
std::size_t failing_alloc_size() {
    // getenv and strtoull do not allocate, so this is safe inside malloc.
    static std::size_t size = 0;
    static bool known = false;
    if (!known) {
        const char* text = std::getenv("ACC_TEST_FAIL_ALLOC_SIZE");
        size = text ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : 0;
        known = true;
    }
    return size;
}
}  // namespace

extern "C" void* malloc(std::size_t size) {
    if (size != 0 && size == failing_alloc_size()) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
extern "C" std::tm* localtime(const std::time_t* time) {
    if (std::getenv("ACC_TEST_FAIL_LOCALTIME")) {
        errno = EOVERFLOW;
        return nullptr;
    }
    static std::tm result;
    return localtime_r(time, &result);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
extern "C" int fclose(std::FILE* stream) {
    struct stat status {};
    const bool fail = std::getenv("ACC_TEST_FAIL_CLOSE") && fstat(fileno(stream), &status) == 0 &&
                      S_ISREG(status.st_mode);
    const int result = _IO_fclose(stream);
    if (!fail) return result;
    errno = EIO;
    return EOF;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
    struct stat status {};
    if (std::getenv("ACC_TEST_WRITE_NOTHING") && size > 0 && fstat(fd, &status) == 0 &&
        S_ISREG(status.st_mode))
        return 0;
    return static_cast<ssize_t>(syscall(SYS_write, fd, data, size));
}

namespace {
struct clock_step {
    unsigned long long from_call;
    long long offset_us;
};

bool read_clock_step(clock_step* step) {
    const char* text = std::getenv("ACC_TEST_CLOCK_STEP");
    if (!text) return false;
    char* colon = nullptr;
    step->from_call = std::strtoull(text, &colon, 10);
    if (colon == text || *colon != ':') return false;
    char* end = nullptr;
    const double seconds = std::strtod(colon + 1, &end);
    if (end == colon + 1 || *end != '\0' || !std::isfinite(seconds)) return false;
    step->offset_us = std::llround(seconds * 1e6);
    return true;
}
}  // namespace

extern "C" int gettimeofday(timeval* __restrict tv, void* __restrict) noexcept {
    static unsigned long long calls = 0;
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
    long long us = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    clock_step step{};
    if (read_clock_step(&step) && ++calls >= step.from_call) us += step.offset_us;
    long long seconds = us / 1000000;
    long long rest = us % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --seconds;
    }
    tv->tv_sec = static_cast<time_t>(seconds);
    tv->tv_usec = static_cast<suseconds_t>(rest);
    return 0;
}

namespace {
unsigned long long env_count(const char* name) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : 0;
}

// Both calls go to the kernel directly, after the delay or instead of it.
int sick_sync(long call_number, int fd) {
    static unsigned long long calls = 0;
    unsigned long long delay_ms = env_count("ACC_TEST_SYNC_DELAY_MS");
    unsigned long long fail_from =
        std::getenv("ACC_TEST_FAIL_SYNC") ? 1 : env_count("ACC_TEST_FAIL_SYNC_FROM");
    // Both threads of the recorder may sync; the count needs no more than
    // an atomic increment.
    unsigned long long call = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
    if (std::getenv("ACC_TEST_SYNC_STOP")) raise(SIGSTOP);
    if (delay_ms != 0) {
        timespec pause{static_cast<time_t>(delay_ms / 1000),
                       static_cast<long>(delay_ms % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    if (fail_from != 0 && call >= fail_from) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(call_number, fd));
}
}  // namespace

extern "C" int fsync(int fd) { return sick_sync(SYS_fsync, fd); }
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
extern "C" int fdatasync(int fd) { return sick_sync(SYS_fdatasync, fd); }

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's are reserved
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
    if (std::getenv("ACC_TEST_FAIL_THREAD")) return EAGAIN;
    using create_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    return real(thread, attr, start, arg);
}

extern "C" int pthread_condattr_init(pthread_condattr_t* attr) {
    if (std::getenv("ACC_TEST_FAIL_COND")) return ENOMEM;
    using init_fn = int (*)(pthread_condattr_t*);
    static const auto real = reinterpret_cast<init_fn>(dlsym(RTLD_NEXT, "pthread_condattr_init"));
    return real(attr);
}

extern "C" int adjtimex(timex* tx) noexcept {
    const char* synced = std::getenv("ACC_TEST_CLOCK_SYNCED");
    if (!synced) return static_cast<int>(syscall(SYS_adjtimex, tx));
    *tx = timex{};
    tx->status = synced[0] == '1' ? 0 : STA_UNSYNC;
    tx->maxerror = 16000;
    tx->esterror = 12;
    return TIME_OK;
}
