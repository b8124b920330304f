#include "program_status.h"

bool is_standard_output(const char* path) { return path && std::strcmp(path, "-") == 0; }

int report_error(const char* subject, const char* what, int error) {
    std::fprintf(stderr, "acc_inspect: %s%s%s: %s\n", subject ? subject : "", subject ? ": " : "",
                 what, std::strerror(error));
    return exit_invalid;
}

void print_fault(const char* path, int open_error, int resource_error, const read_failure& failure,
                 std::uint64_t rows_before) {
    if (open_error != 0) {
        report_error(path, "cannot open", open_error);
    } else if (resource_error != 0) {
        report_error(path, "cannot analyse", resource_error);
    } else {
        char message[512];
        describe_read_failure(failure, rows_before, message, sizeof message);
        std::fprintf(stderr, "acc_inspect: %s: %s\n", path, message);
    }
}
