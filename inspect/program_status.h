// What the inspector tells the one who runs it: its exit statuses, the
// words for a file it cannot read, and an output written or reported as
// not written.
#ifndef ACC_INSPECT_PROGRAM_STATUS_H
#define ACC_INSPECT_PROGRAM_STATUS_H

#include "command_line.h"
#include "csv_reader.h"
#include "output_file.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

constexpr int exit_valid = 0;
constexpr int exit_invalid = 1;
constexpr int exit_alarm = 3;   // --follow: some interval above --alarm
constexpr int exit_window = 4;  // --from and --to leave out every row

// "acc_inspect: SUBJECT: WHAT: " and the error's text on stderr, without
// "SUBJECT: " when `subject` is nullptr. Returns exit_invalid.
int report_error(const char* subject, const char* what, int error);

// "acc_inspect: PATH: " and why it could not be read: `open_error`, else
// `resource_error`, else the reader's `failure` after `rows_before` rows.
void print_fault(const char* path, int open_error, int resource_error, const read_failure& failure,
                 std::uint64_t rows_before);

// Writes one output file beside its target and puts it in place once
// complete; after a failed write `out` stays open for the caller to discard. Returns
// the exit status it adds: exit_valid or exit_invalid.
template <typename write_fn>
int write_output(output_file* out, const char* path, write_fn write) {
    int error = output_file_open(out, path);
    if (error == 0) error = write(out->stream);
    if (error == 0) error = output_file_commit(out);
    return error == 0 ? exit_valid : report_error(path, "cannot write", error);
}

#endif
