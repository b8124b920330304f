// What the inspector tells the one who runs it: its exit statuses, the
// words for a file it cannot read, and an output written or reported as
// not written.
#ifndef ACC_INSPECT_PROGRAM_STATUS_H
#define ACC_INSPECT_PROGRAM_STATUS_H

#include "command_line.h"
#include "csv_reader.h"
#include "output_file.h"

#include <cerrno>
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

// Whether an output option's value is "-", standard output.
bool is_standard_output(const char* path);

// Writes the output file an option names, beside its target, and puts it in
// place once complete; nothing for no option or "-". A failed write is
// abandoned: the target stays as it was and no partial file is left. Returns
// the exit status it adds: exit_valid or exit_invalid.
template <typename write_fn>
int write_output(const char* path, write_fn write) {
    if (!path || is_standard_output(path)) return exit_valid;
    output_file out{};
    int error = output_file_open(&out, path);
    if (error == 0) error = write(out.stream);
    if (error == 0)
        error = output_file_commit(&out);
    else
        output_file_discard(&out);
    return error == 0 ? exit_valid : report_error(path, "cannot write", error);
}

// Standard output carries the report, or in its place the JSON or the
// picture, flushed so that a full disk is reported. Returns the exit status.
template <typename report_fn, typename json_fn, typename svg_fn>
int write_standard_output(const char* json_path, const char* svg_path, report_fn report,
                          json_fn json, svg_fn svg) {
    const bool json_out = is_standard_output(json_path);
    const bool svg_out = !json_out && is_standard_output(svg_path);
    int error = json_out ? json(stdout) : svg_out ? svg(stdout) : report(stdout);
    if (error == 0 && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        error = errno ? errno : EIO;
    if (error == 0) return exit_valid;
    return report_error(nullptr, svg_out ? "cannot write the picture" : "cannot write the report",
                        error);
}

#endif
