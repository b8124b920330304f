// acc_inspect: checks a recording byte by byte and shows what it holds.
//
// Exit status: 0 a valid data file (its report on stdout); 1 a file that is
// missing, unreadable or not a valid data file, or a picture that cannot be
// written (the reason on stderr); 2 a usage error, or an output that is the
// data file itself.

#include "csv_reader.h"
#include "inspect_run.h"
#include "output_file.h"
#include "report.h"
#include "svg_plot.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef ACC_INSPECT_VERSION
#define ACC_INSPECT_VERSION "0"
#endif

namespace {

constexpr int exit_valid = 0;
constexpr int exit_invalid = 1;
constexpr int exit_usage = 2;

constexpr char usage_text[] = "usage: acc_inspect FILE.csv [--svg OUT.svg]\n";

void print_help() {
    std::printf(
        "%s"
        "\n"
        "Checks a data file written by acc_recorder and reports what it holds:\n"
        "rows, duration and sample rate, gaps and overlaps in time, the range and\n"
        "level of the acceleration, whether the g and m/s^2 columns follow from\n"
        "the voltage, and the strongest vibration frequencies.\n"
        "\n"
        "  --svg OUT.svg  also draw the acceleration over time and its spectrum\n"
        "  --help         show this help\n"
        "  --version      show the version\n"
        "\n"
        "Exit status: 0 valid file, 1 invalid or unreadable file (the first fault\n"
        "and its line on stderr) or a picture that cannot be written, 2 usage error.\n",
        usage_text);
}

int usage_error(const char* message, const char* argument) {
    std::fprintf(stderr, "acc_inspect: %s%s\n%s", message, argument ? argument : "", usage_text);
    return exit_usage;
}

struct arguments {
    const char* data_path;
    const char* svg_path;
};

// Returns -1 to go on, else the exit status.
int parse_arguments(int argc, char** argv, arguments* args) {
    *args = arguments{nullptr, nullptr};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            print_help();
            return exit_valid;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("acc_inspect %s\n", ACC_INSPECT_VERSION);
            return exit_valid;
        }
    }
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!options_done && std::strcmp(a, "--") == 0) {
            options_done = true;
        } else if (!options_done && std::strcmp(a, "--svg") == 0) {
            if (i + 1 >= argc) return usage_error("--svg needs a file name", nullptr);
            if (args->svg_path) return usage_error("--svg given twice", nullptr);
            args->svg_path = argv[++i];
        } else if (!options_done && std::strncmp(a, "--svg=", 6) == 0) {
            if (args->svg_path) return usage_error("--svg given twice", nullptr);
            args->svg_path = a + 6;
        } else if (!options_done && a[0] == '-' && a[1] != '\0') {
            return usage_error("unknown option ", a);
        } else if (args->data_path) {
            return usage_error("more than one data file: ", a);
        } else {
            args->data_path = a;
        }
    }
    if (!args->data_path) return usage_error("no data file given", nullptr);
    if (args->svg_path && args->svg_path[0] == '\0')
        return usage_error("--svg needs a file name", nullptr);
    return -1;
}

// The inspector never writes to the file it reads: an output that is the
// data file itself, by whatever name, is a usage error. Returns -1 to go on.
int refuse_output_onto_data_file(const arguments& args) {
    if (args.svg_path && is_same_file(args.data_path, args.svg_path)) {
        std::fprintf(stderr,
                     "acc_inspect: --svg %s is the data file %s itself; it is never written\n%s",
                     args.svg_path, args.data_path, usage_text);
        return exit_usage;
    }
    if (is_same_file_as_descriptor(args.data_path, STDOUT_FILENO)) {
        std::fprintf(
            stderr,
            "acc_inspect: standard output is the data file %s itself; it is never written\n%s",
            args.data_path, usage_text);
        return exit_usage;
    }
    return -1;
}

// Writes the picture beside its target and puts it in place once complete.
int write_svg_file(const char* path, const plot_input& input) {
    output_file out{};
    int error = output_file_open(&out, path);
    if (error != 0) return error;
    error = write_svg(out.stream, input);
    if (error != 0) {
        output_file_discard(&out);
        return error;
    }
    return output_file_commit(&out);
}

void print_failure(const char* path, const inspect_result& result) {
    if (result.open_error != 0) {
        std::fprintf(stderr, "acc_inspect: %s: cannot open: %s\n", path,
                     std::strerror(result.open_error));
    } else if (result.resource_error != 0) {
        std::fprintf(stderr, "acc_inspect: %s: cannot analyse: %s\n", path,
                     std::strerror(result.resource_error));
    } else {
        char message[512];
        describe_read_failure(result.failure, result.rows_before_failure, message, sizeof message);
        std::fprintf(stderr, "acc_inspect: %s: %s\n", path, message);
    }
}

}  // namespace

int main(int argc, char** argv) {
    arguments args;
    int status = parse_arguments(argc, argv, &args);
    if (status >= 0) return status;
    status = refuse_output_onto_data_file(args);
    if (status >= 0) return status;
    // A file-size limit makes a write fail, reported, instead of ending the
    // inspector halfway through a file.
    std::signal(SIGXFSZ, SIG_IGN);

    const inspect_config config = default_inspect_config();
    inspect_result* result = static_cast<inspect_result*>(std::calloc(1, sizeof(inspect_result)));
    if (!result) {
        std::fprintf(stderr, "acc_inspect: out of memory\n");
        return exit_invalid;
    }
    status = exit_valid;
    if (!inspect_file(args.data_path, config, result)) {
        print_failure(args.data_path, *result);
        status = exit_invalid;
    } else {
        int error = write_report(stdout, args.data_path, *result, config);
        if (error != 0) {
            std::fprintf(stderr, "acc_inspect: cannot write the report: %s\n",
                         std::strerror(error));
            status = exit_invalid;
        }
        if (args.svg_path) {
            char title[700];
            std::snprintf(title, sizeof title, "acc_inspect: %s", args.data_path);
            plot_input input{title,         &result->stats,    &result->env, &result->spectrum,
                             result->peaks, result->peak_count};
            error = write_svg_file(args.svg_path, input);
            if (error != 0) {
                std::fprintf(stderr, "acc_inspect: %s: cannot write: %s\n", args.svg_path,
                             std::strerror(error));
                status = exit_invalid;
            }
        }
    }
    inspect_result_free(result);
    std::free(result);
    return status;
}
