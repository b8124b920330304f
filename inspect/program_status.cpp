#include "program_status.h"

void print_fault(const char* path, int open_error, int resource_error, const read_failure& failure,
                 std::uint64_t rows_before) {
    if (open_error != 0) {
        std::fprintf(stderr, "acc_inspect: %s: cannot open: %s\n", path, std::strerror(open_error));
    } else if (resource_error != 0) {
        std::fprintf(stderr, "acc_inspect: %s: cannot analyse: %s\n", path,
                     std::strerror(resource_error));
    } else {
        char message[512];
        describe_read_failure(failure, rows_before, message, sizeof message);
        std::fprintf(stderr, "acc_inspect: %s: %s\n", path, message);
    }
}
