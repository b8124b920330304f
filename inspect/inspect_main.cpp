// acc_inspect: checks a recording byte by byte and shows what it holds.
//
// Exit status: 0 a valid recording (its report on stdout); 1 a file that is
// missing, unreadable or not a valid data file, or a picture that cannot be
// written (the reason on stderr); 2 a usage error, files of different runs,
// or an output that is a file of the recording itself; with --follow or
// --history also 3 when some interval's velocity RMS was above --alarm; 4 a
// valid recording of which --from and --to leave out every row (nothing
// written).

#include "csv_output.h"
#include "follow_driver.h"
#include "history.h"
#include "inspect_options.h"
#include "json_output.h"
#include "output_file.h"
#include "output_refusal.h"
#include "program_status.h"
#include "read_run.h"
#include "report.h"
#include "run_choice.h"
#include "svg_plot.h"

#include <string>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void print_failure(const inspect_result& result) {
    const char* path = result.parts && result.failed_part < result.part_count
                           ? result.parts[result.failed_part].path
                           : "";
    print_fault(path, result.open_error, result.resource_error, result.failure,
                result.rows_before_failure);
}

// Everything the inspector acquires, each with its "not acquired" value, so
// that one release frees exactly what is held.
struct inspect_held {
    inspect_result* result;  // nullptr: not allocated
};

// Releases what is held.
void release_held(inspect_held* held) {
    if (held->result) inspect_result_free(held->result);
    std::free(held->result);
    held->result = nullptr;
}

int write_outputs(const arguments& args, const inspect_config& config, inspect_held* held) {
    const inspect_result& result = *held->result;
    const std::string title = "acc_inspect: " + files_named(args.data_path, result);
    const auto json = [&](std::FILE* f) { return write_json(f, args.data_path, result, config); };
    const auto svg = [&](std::FILE* f) { return write_svg(f, title.c_str(), result); };
    int status = write_standard_output(
        args.json_path, args.svg_path,
        [&](std::FILE* f) { return write_report(f, args.data_path, result, config); }, json, svg);
    if (write_output(args.json_path, json) != exit_valid) status = exit_invalid;
    if (args.csv_dir) {
        char failed[1024];
        const int error = write_csv_files(args.csv_dir, result, failed, sizeof failed);
        if (error != 0) status = report_error(failed, "cannot write", error);
    }
    if (write_output(args.svg_path, svg) != exit_valid) status = exit_invalid;
    return status;
}

// Reads the file and writes what was asked for. Returns the exit status.
int inspect_and_write(const arguments& args, const run_plan& plan, const inspect_config& config,
                      inspect_held* held) {
    held->result = static_cast<inspect_result*>(std::calloc(1, sizeof(inspect_result)));
    if (!held->result) {
        std::fprintf(stderr, "acc_inspect: out of memory\n");
        return exit_invalid;
    }
    std::vector<const char*> paths;
    for (const run_file& f : plan.files) paths.push_back(f.path.c_str());
    if (!inspect_files(paths.data(), paths.size(), config, held->result)) {
        print_failure(*held->result);
        return exit_invalid;
    }
    held->result->clock = clock_of(plan);
    double first_s = 0.0, last_s = 0.0;
    if (window_missed(*held->result, config, &first_s, &last_s)) {
        std::fprintf(stderr,
                     "acc_inspect: no row lies in the window (--from, --to): the rows run from "
                     "%.6f s to %.6f s",
                     first_s, last_s);
        const run_clock& clock = held->result->clock;
        if (clock.known)
            std::fprintf(stderr, " (%s to %s)", clock_time(clock, first_s).text,
                         clock_time(clock, last_s).text);
        std::fputc('\n', stderr);
        return exit_window;
    }
    return write_outputs(args, config, held);
}

}  // namespace

int main(int argc, char** argv) {
    arguments args;
    inspect_config config = default_inspect_config();
    int status = parse_arguments(argc, argv, &args, &config);
    if (status >= 0) return status;
    // A file-size limit makes a write fail, reported, instead of ending the
    // inspector halfway through a file.
    std::signal(SIGXFSZ, SIG_IGN);
    if (args.history) return history_and_write(args);
    if (args.follow_path) status = wait_for_recording(args);
    if (status >= 0) return status;
    run_plan plan;
    status = choose_files(&args, &plan);
    if (status >= 0) return status;
    take_run_settings(plan, &config);
    status = settle_window(args, clock_of(plan), &config);
    if (status >= 0) return status;
    status = refuse_output_onto_data_files(args, plan);
    if (status >= 0) return status;
    inspect_held held{};
    status = args.follow_path ? follow_and_write(args, plan, config)
                              : inspect_and_write(args, plan, config, &held);
    release_held(&held);
    return status;
}
