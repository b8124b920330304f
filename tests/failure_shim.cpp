// Preloaded into a program under test to make one step fail as it would on a
// sick system:
//   ACC_TEST_FAIL_ALLOC_SIZE=<n>   malloc of exactly n bytes returns NULL
//   ACC_TEST_FAIL_LOCALTIME=1      localtime returns NULL (EOVERFLOW)
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>

extern "C" void* __libc_malloc(std::size_t size);

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
    if (size != 0 && size == failing_alloc_size()) return nullptr;
    return __libc_malloc(size);
}

extern "C" std::tm* localtime(const std::time_t* time) {
    if (std::getenv("ACC_TEST_FAIL_LOCALTIME")) {
        errno = EOVERFLOW;
        return nullptr;
    }
    static std::tm result;
    return localtime_r(time, &result);
}
