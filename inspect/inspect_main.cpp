// acc_inspect: checks a recording byte by byte and shows what it holds.
//
// Exit status: 0 a valid recording (its report on stdout); 1 a file that is
// missing, unreadable or not a valid data file, or a picture that cannot be
// written (the reason on stderr); 2 a usage error, files of different runs,
// or an output that is a file of the recording itself; with --follow also 3
// when some interval's velocity RMS was above --alarm.

#include "csv_output.h"
#include "csv_reader.h"
#include "follow.h"
#include "follow_output.h"
#include "inspect_run.h"
#include "json_output.h"
#include "output_file.h"
#include "provenance.h"
#include "report.h"
#include "run_files.h"
#include "svg_plot.h"

#include <string>
#include <vector>

#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#ifndef ACC_INSPECT_VERSION
#define ACC_INSPECT_VERSION "0"
#endif

namespace {

constexpr int exit_valid = 0;
constexpr int exit_invalid = 1;
constexpr int exit_usage = 2;
constexpr int exit_alarm = 3;  // --follow: some interval above --alarm

constexpr char usage_text[] =
    "usage: acc_inspect FILE.csv [--svg OUT.svg]\n"
    "       [--json OUT.json|-] [--csv DIR] [--from S] [--to S] [--segment N]\n"
    "       [--band LO:HI] [--interval S] [--peaks N]\n"
    "       acc_inspect FILE... | DIR [--run ID|FILE] [the same options]\n";

constexpr std::size_t smallest_segment = 16;
constexpr std::size_t largest_segment = 65536;

void print_help() {
    std::printf(
        "%s"
        "       acc_inspect --follow FILE|DIR [--json -] [--prom FILE.prom]\n"
        "       [--alarm MM_S] [--run ID|FILE] [--band LO:HI] [--interval S] [--segment N]\n"
        "\n"
        "Checks a data file written by acc_recorder and reports what it holds:\n"
        "rows, duration and sample rate, gaps and overlaps in time, the range,\n"
        "level and crest factor of the acceleration, whether the g and m/s^2\n"
        "columns follow from the voltage, the strongest vibration frequencies,\n"
        "the spectral density with overall, band, velocity and displacement RMS,\n"
        "one-third-octave bands, and the RMS, peak and dominant frequency over time.\n"
        "Several files are one recording, read in the order of their provenance\n"
        "files (else as given); .csv.zst and .csv.gz files are read as they are.\n"
        "A directory stands for the most recent run in it.\n"
        "\n"
        "  --run ID|FILE     with a directory: the run whose run_id starts with ID,\n"
        "                    or that holds FILE\n"
        "  --svg OUT.svg     also draw the acceleration over time, its spectrum,\n"
        "                    the RMS and peak over time and a spectrogram\n"
        "  --json OUT.json   also write every figure as JSON; '-' writes it to\n"
        "                    stdout instead of the text report\n"
        "  --csv DIR         also write spectrum.csv, third_octave_bands.csv and\n"
        "                    trend.csv into DIR (made if missing)\n"
        "  --from S          only the rows timed at S seconds or later (the file's\n"
        "  --to S            time column) and before S; the whole file is still checked;\n"
        "                    with provenance also a UTC time, 2026-12-08T02:00:00Z\n"
        "  --segment N       spectrum segment length, a power of two from %zu to %zu\n"
        "                    (default %zu)\n"
        "  --band LO:HI      band of the band, velocity and displacement RMS in Hz\n"
        "                    (default 10:1000; 2:1000 for slow machines)\n"
        "  --interval S      trend interval in seconds, at least 0.001 (default 1)\n"
        "  --peaks N         list up to N spectrum peaks, 0 to %zu (default %zu)\n"
        "  --follow FILE|DIR a recording being made: one line per interval as the\n"
        "                    rows come, into the run's next files, until the\n"
        "                    recorder lets go of its last file, or Ctrl-C\n"
        "  --json -          with --follow: one JSON object per interval per line\n"
        "  --prom FILE       with --follow: keep FILE, for the node exporter's\n"
        "                    textfile collector, with the latest interval's levels\n"
        "  --alarm MM_S      with --follow: mark the intervals whose velocity RMS is\n"
        "                    above MM_S mm/s, and exit with status 3 if any was\n"
        "  --help            show this help\n"
        "  --version         show the version\n"
        "\n"
        "Exit status: 0 valid file, 1 invalid or unreadable file (the first fault,\n"
        "its file and line on stderr) or an output that cannot be written, 2 usage\n"
        "error, files of different runs, or an output that is a file of the\n"
        "recording itself (never written); with --follow 3 when an interval was\n"
        "above --alarm.\n",
        usage_text, smallest_segment, largest_segment, default_segment_size, max_reported_peaks,
        default_reported_peaks);
}

int usage_error(const char* message, const char* argument) {
    std::fprintf(stderr, "acc_inspect: %s%s\n%s", message, argument ? argument : "", usage_text);
    return exit_usage;
}

struct arguments {
    const char* data_path;  // the first file read, for the report's heading
    const char* svg_path;
    const char* json_path;
    const char* csv_dir;
    const char* run_selector;
    const char* follow_path;  // --follow: the file or directory
    const char* prom_path;
    bool have_alarm;
    double alarm_mm_s;
    std::vector<std::string> inputs;  // files and directories as given
    bool from_is_utc;                 // --from and --to given as clock times
    double from_unix_s;
    bool to_is_utc;
    double to_unix_s;
};

bool parse_number(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value);
}

bool parse_count(const char* text, std::size_t* value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (*end != '\0' || n > 1000000000ULL) return false;
    *value = static_cast<std::size_t>(n);
    return true;
}

// The options with a value; `val` is an option_id, above the characters
// getopt_long returns for itself.
enum option_id : int {
    opt_svg = 256,
    opt_json,
    opt_csv,
    opt_from,
    opt_to,
    opt_segment,
    opt_band,
    opt_interval,
    opt_peaks,
    opt_run,
    opt_follow,
    opt_prom,
    opt_alarm,
};

constexpr option long_options[] = {
    {"svg", required_argument, nullptr, opt_svg},
    {"json", required_argument, nullptr, opt_json},
    {"csv", required_argument, nullptr, opt_csv},
    {"from", required_argument, nullptr, opt_from},
    {"to", required_argument, nullptr, opt_to},
    {"segment", required_argument, nullptr, opt_segment},
    {"band", required_argument, nullptr, opt_band},
    {"interval", required_argument, nullptr, opt_interval},
    {"peaks", required_argument, nullptr, opt_peaks},
    {"run", required_argument, nullptr, opt_run},
    {"follow", required_argument, nullptr, opt_follow},
    {"prom", required_argument, nullptr, opt_prom},
    {"alarm", required_argument, nullptr, opt_alarm},
    {nullptr, 0, nullptr, 0},
};

const char* option_name(int id) { return long_options[id - opt_svg].name; }

// What a missing or empty value of the option should have been.
const char* value_noun(int id) {
    return id == opt_svg || id == opt_json || id == opt_prom ? "file name"
           : id == opt_csv                                   ? "directory"
           : id == opt_follow                                ? "file or directory"
                                                             : "value";
}

// getopt_long takes a unique prefix for the whole name; the inspector has
// never done so, and a prefix stays an unknown option.
bool typed_in_full(const char* argument, int id) {
    const char* name = option_name(id);
    const std::size_t n = std::strlen(name);
    return std::strncmp(argument, "--", 2) == 0 && std::strncmp(argument + 2, name, n) == 0 &&
           (argument[2 + n] == '\0' || argument[2 + n] == '=');
}

// Sets one option's value in `args` or `config`. Returns -1 or the exit status.
int take_option(int id, const char* value, arguments* args, inspect_config* config) {
    char message[160];
    auto bad = [&](const char* expected) {
        std::snprintf(message, sizeof message, "--%s: %s, not ", option_name(id), expected);
        return usage_error(message, value[0] ? value : "nothing");
    };
    switch (id) {
        case opt_svg:
        case opt_json:
        case opt_csv:
        case opt_follow:
        case opt_prom: {
            const char** slot = id == opt_svg      ? &args->svg_path
                                : id == opt_json   ? &args->json_path
                                : id == opt_csv    ? &args->csv_dir
                                : id == opt_follow ? &args->follow_path
                                                   : &args->prom_path;
            if (*slot) {
                std::snprintf(message, sizeof message, "--%s given twice", option_name(id));
                return usage_error(message, nullptr);
            }
            if (value[0] == '\0') {
                std::snprintf(message, sizeof message, "--%s needs a %s", option_name(id),
                              value_noun(id));
                return usage_error(message, nullptr);
            }
            *slot = value;
            break;
        }
        case opt_from:
        case opt_to: {
            double t = 0.0;
            const bool from = id == opt_from;
            if (parse_utc(value, &t)) {
                (from ? args->from_is_utc : args->to_is_utc) = true;
                (from ? args->from_unix_s : args->to_unix_s) = t;
            } else if (!parse_number(value, &t)) {
                return bad("a time in seconds or a UTC time like 2026-12-08T02:00:00Z");
            }
            (from ? config->have_from : config->have_to) = true;
            (from ? config->from_s : config->to_s) = t;
            break;
        }
        case opt_segment: {
            std::size_t n = 0;
            if (!parse_count(value, &n) || n < smallest_segment || n > largest_segment ||
                (n & (n - 1)) != 0)
                return bad("a power of two from 16 to 65536");
            config->segment_size = n;
            break;
        }
        case opt_band: {
            char low_text[64];
            const char* colon = std::strchr(value, ':');
            double low = 0.0, high = 0.0;
            if (!colon || static_cast<std::size_t>(colon - value) >= sizeof low_text)
                return bad("LO:HI in Hz");
            std::memcpy(low_text, value, static_cast<std::size_t>(colon - value));
            low_text[colon - value] = '\0';
            if (!parse_number(low_text, &low) || !parse_number(colon + 1, &high) || !(low > 0.0) ||
                !(high > low))
                return bad("LO:HI in Hz with 0 < LO < HI");
            config->band_low_hz = low;
            config->band_high_hz = high;
            break;
        }
        case opt_interval: {
            double s = 0.0;
            if (!parse_number(value, &s) || !(s >= 0.001)) return bad("seconds, at least 0.001");
            config->trend_interval_s = s;
            break;
        }
        case opt_alarm:
            if (!parse_number(value, &args->alarm_mm_s) || !(args->alarm_mm_s > 0.0))
                return bad("a velocity RMS in mm/s above 0");
            args->have_alarm = true;
            break;
        case opt_run:
            if (args->run_selector) return usage_error("--run given twice", nullptr);
            if (value[0] == '\0')
                return usage_error("--run needs a run_id or a file name", nullptr);
            args->run_selector = value;
            break;
        default: {  // opt_peaks
            std::size_t n = 0;
            if (!parse_count(value, &n) || n > max_reported_peaks)
                return bad("a count from 0 to 50");
            config->peaks = n;
        }
    }
    return -1;
}

int take_data_path(const char* path, arguments* args) {
    args->inputs.push_back(path);
    return -1;
}

// A follower reads one file or directory and writes lines, JSON Lines and
// the .prom file only. Returns -1 to go on, else the exit status.
int settle_follow(arguments* args, const inspect_config& config) {
    if (!args->follow_path)
        return usage_error(args->prom_path ? "--prom needs --follow" : "--alarm needs --follow",
                           nullptr);
    if (!args->inputs.empty())
        return usage_error("--follow reads one file or directory; also given: ",
                           args->inputs[0].c_str());
    const char* alone = args->svg_path                       ? "--svg"
                        : args->csv_dir                      ? "--csv"
                        : config.have_from || config.have_to ? "--from or --to"
                                                             : nullptr;
    if (alone) return usage_error(alone, " is not for --follow");
    if (args->json_path && std::strcmp(args->json_path, "-") != 0)
        return usage_error("with --follow the JSON Lines go to standard output: --json -", nullptr);
    args->inputs.push_back(args->follow_path);
    return -1;
}

// Returns -1 to go on, else the exit status.
int parse_arguments(int argc, char** argv, arguments* args, inspect_config* config) {
    *args = arguments{};
    // Help and version win wherever they stand, even beside a mistake.
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
    // In order ('-'): data files among the options, the first mistake
    // reported. Silent (':', opterr): the messages are the inspector's own.
    opterr = 0;
    for (;;) {
        const int at = optind;  // the argument getopt_long reads next
        const int c = getopt_long(argc, argv, "-:", long_options, nullptr);
        if (c == -1) break;
        int status = -1;
        if (c == 1) {
            status = take_data_path(optarg, args);
        } else if (c == '?' || !typed_in_full(argv[at], c == ':' ? optopt : c)) {
            status = usage_error("unknown option ", argv[at]);
        } else if (c == ':') {
            char message[64];
            std::snprintf(message, sizeof message, "--%s needs a %s", option_name(optopt),
                          value_noun(optopt));
            status = usage_error(message, nullptr);
        } else {
            status = take_option(c, optarg, args, config);
        }
        if (status >= 0) return status;
    }
    for (int i = optind; i < argc; ++i) {  // after "--"
        int status = take_data_path(argv[i], args);
        if (status >= 0) return status;
    }
    if (args->follow_path || args->prom_path || args->have_alarm)
        return settle_follow(args, *config);
    if (args->inputs.empty()) return usage_error("no data file given", nullptr);
    return -1;
}

// The files of the run, in order; a run that cannot be told is reported.
// Returns -1 to go on, else the exit status.
int choose_files(arguments* args, run_plan* plan) {
    plan_run(args->inputs, args->run_selector, plan);
    if (plan->runs.size() > 1 || (plan->fault != run_fault::none && !plan->runs.empty())) {
        for (std::size_t i = 0; i < plan->runs.size(); ++i) {
            const run_seen& r = plan->runs[i];
            std::fprintf(
                stderr, "acc_inspect: run %s: %s, %zu file%s%s\n",
                r.run_id.empty() ? "without provenance" : r.run_id.c_str(), r.first_file.c_str(),
                r.files, r.files == 1 ? "" : "s",
                plan->fault == run_fault::none && i == plan->chosen_run ? " (inspected)" : "");
        }
    }
    switch (plan->fault) {
        case run_fault::none:
            break;
        case run_fault::cannot_list:
            std::fprintf(stderr, "acc_inspect: %s: cannot list: %s\n", plan->subject.c_str(),
                         std::strerror(plan->err));
            return exit_invalid;
        case run_fault::no_recording:
            std::fprintf(stderr, "acc_inspect: %s: no data file in it\n", plan->subject.c_str());
            return exit_invalid;
        case run_fault::two_runs:
            std::fprintf(stderr, "acc_inspect: %s and %s are of different runs; nothing read\n",
                         plan->subject.c_str(), plan->other.c_str());
            return exit_usage;
        case run_fault::segment_twice:
            std::fprintf(stderr,
                         "acc_inspect: %s and %s are the same segment of one run; nothing read\n",
                         plan->subject.c_str(), plan->other.c_str());
            return exit_usage;
        case run_fault::run_not_found:
            return usage_error("--run: no run matches ", plan->subject.c_str());
        case run_fault::run_ambiguous:
            return usage_error("--run: several runs match ", plan->subject.c_str());
    }
    if (args->run_selector && plan->runs.empty())
        return usage_error("--run picks a run of a directory", nullptr);
    args->data_path = plan->files[0].path.c_str();
    return -1;
}

// Where row time 0 stands on the clock: the first file's provenance.
run_clock clock_of(const run_plan& plan) {
    run_clock clock{};
    const provenance& p = plan.files[0].prov;
    if (p.present && p.have_start) {
        clock.known = true;
        clock.start_unix_s = p.start_unix_s;
        clock.synchronized = p.synchronized;
        std::memcpy(clock.run_id, p.run_id, sizeof clock.run_id);
    }
    return clock;
}

// --from and --to given as clock times become row times. Returns -1 to go
// on, else the exit status.
int settle_window(const arguments& args, const run_clock& clock, inspect_config* config) {
    if ((args.from_is_utc || args.to_is_utc) && !clock.known)
        return usage_error("a UTC time for --from or --to needs the run's provenance file",
                           nullptr);
    if (args.from_is_utc) config->from_s = args.from_unix_s - clock.start_unix_s;
    if (args.to_is_utc) config->to_s = args.to_unix_s - clock.start_unix_s;
    if (config->have_from && config->have_to && !(config->from_s < config->to_s))
        return usage_error("--to must be later than --from", nullptr);
    return -1;
}

// The inspector never writes to the files it reads: an output that is a
// data file of the run or its provenance file, by whatever name, is a usage
// error. Returns -1 to go on.
int refuse_output_onto_file(const arguments& args, const char* data_path) {
    const bool json_to_stdout = args.json_path && std::strcmp(args.json_path, "-") == 0;
    const char* option = nullptr;
    const char* output = nullptr;
    char csv_path[1024];
    if (args.svg_path && is_same_file(data_path, args.svg_path)) {
        option = "--svg";
        output = args.svg_path;
    } else if (args.json_path && !json_to_stdout && is_same_file(data_path, args.json_path)) {
        option = "--json";
        output = args.json_path;
    } else if (args.prom_path && is_same_file(data_path, args.prom_path)) {
        option = "--prom";
        output = args.prom_path;
    } else if (args.csv_dir) {
        const char* const names[] = {spectrum_csv_name, octave_csv_name, trend_csv_name};
        for (const char* name : names) {
            std::snprintf(csv_path, sizeof csv_path, "%s/%s", args.csv_dir, name);
            if (is_same_file(data_path, csv_path)) {
                option = "--csv";
                output = csv_path;
                break;
            }
        }
    }
    if (option) {
        std::fprintf(stderr,
                     "acc_inspect: %s %s is the data file %s itself; it is never written\n%s",
                     option, output, data_path, usage_text);
        return exit_usage;
    }
    if (is_same_file_as_descriptor(data_path, STDOUT_FILENO)) {
        std::fprintf(
            stderr,
            "acc_inspect: standard output is the data file %s itself; it is never written\n%s",
            data_path, usage_text);
        return exit_usage;
    }
    return -1;
}

int refuse_output_onto_data_files(const arguments& args, const run_plan& plan) {
    for (const run_file& f : plan.files) {
        int status = refuse_output_onto_file(args, f.path.c_str());
        char sidecar[4096];
        if (status < 0 && provenance_path(f.path.c_str(), sidecar, sizeof sidecar) &&
            access(sidecar, F_OK) == 0)
            status = refuse_output_onto_file(args, sidecar);
        if (status >= 0) return status;
    }
    return -1;
}

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
    output_file json;        // stream nullptr: not open, or put in place
    output_file svg;
    follow_state* follow;  // nullptr: not allocated
    output_file prom;
};

// Releases what is held, in the one fixed order: the .prom file, the
// follower, the picture, the JSON, the result. An output still open is one
// whose write failed: it is abandoned, its temporary file removed and its
// target left as it was.
void release_held(inspect_held* held) {
    output_file_discard(&held->prom);
    if (held->follow) follow_free(held->follow);
    std::free(held->follow);
    held->follow = nullptr;
    output_file_discard(&held->svg);
    output_file_discard(&held->json);
    if (held->result) inspect_result_free(held->result);
    std::free(held->result);
    held->result = nullptr;
}

// Writes one output file beside its target and puts it in place once
// complete; after a failed write `out` stays open for release_held. Returns
// the exit status it adds: exit_valid or exit_invalid.
template <typename write_fn>
int write_output(output_file* out, const char* path, write_fn write) {
    int error = output_file_open(out, path);
    if (error == 0) error = write(out->stream);
    if (error == 0) error = output_file_commit(out);
    if (error == 0) return exit_valid;
    std::fprintf(stderr, "acc_inspect: %s: cannot write: %s\n", path, std::strerror(error));
    return exit_invalid;
}

int write_outputs(const arguments& args, const inspect_config& config, inspect_held* held) {
    const inspect_result& result = *held->result;
    int status = exit_valid;
    const bool json_to_stdout = args.json_path && std::strcmp(args.json_path, "-") == 0;
    int error = json_to_stdout ? write_json(stdout, args.data_path, result, config)
                               : write_report(stdout, args.data_path, result, config);
    if (error != 0) {
        std::fprintf(stderr, "acc_inspect: cannot write the report: %s\n", std::strerror(error));
        status = exit_invalid;
    }
    if (args.json_path && !json_to_stdout &&
        write_output(&held->json, args.json_path, [&](std::FILE* f) {
            return write_json(f, args.data_path, result, config);
        }) != exit_valid)
        status = exit_invalid;
    if (args.csv_dir) {
        char failed[1024];
        error = write_csv_files(args.csv_dir, result, failed, sizeof failed);
        if (error != 0) {
            std::fprintf(stderr, "acc_inspect: %s: cannot write: %s\n", failed,
                         std::strerror(error));
            status = exit_invalid;
        }
    }
    if (args.svg_path) {
        char title[700];
        std::snprintf(title, sizeof title, "acc_inspect: %s", args.data_path);
        if (write_output(&held->svg, args.svg_path,
                         [&](std::FILE* f) { return write_svg(f, title, result); }) != exit_valid)
            status = exit_invalid;
    }
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
    return write_outputs(args, config, held);
}

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

// Ctrl-C and SIGTERM end a follower with its summary: the wait is cut short
// (no SA_RESTART) and the flag read.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a reader gone is a write error, reported
}

// What a follower has shown so far, for its summary.
struct follow_tally {
    std::uint64_t intervals;
    std::uint64_t above_alarm;
    trend_interval latest;
    bool have_latest;
    bool prom_due;  // an interval since the .prom file was last written
    bool stalled;
    int status;
};

void write_prom_file(const arguments& args, const follow_state& f, follow_tally* tally,
                     inspect_held* held) {
    if (!args.prom_path || !tally->have_latest) return;
    const bool above = args.have_alarm && tally->latest.velocity_rms_mm_s > args.alarm_mm_s;
    const followed_interval latest{
        &f.result->trend,     &tally->latest,           &f.clock,        f.path,
        f.result->stats.gaps, f.result->stats.overlaps, args.have_alarm, above};
    tally->prom_due = false;
    if (write_output(&held->prom, args.prom_path, [&](std::FILE* out) {
            return write_prom(out, latest, tally->stalled);
        }) != exit_valid) {
        output_file_discard(&held->prom);
        tally->status = exit_invalid;
    }
}

void print_summary(std::FILE* notes, const char* how, const arguments& args, const follow_state& f,
                   const follow_tally& tally) {
    std::fprintf(notes,
                 "acc_inspect: %s: %" PRIu64 " rows in %" PRIu32 " file%s, %" PRIu64
                 " interval%s, %" PRIu64 " gaps, %" PRIu64 " overlaps",
                 how, f.result->stats.rows, f.files, f.files == 1 ? "" : "s", tally.intervals,
                 tally.intervals == 1 ? "" : "s", f.result->stats.gaps, f.result->stats.overlaps);
    if (args.have_alarm)
        std::fprintf(notes, ", %" PRIu64 " above %g mm/s", tally.above_alarm, args.alarm_mm_s);
    std::fputc('\n', notes);
}

// Follows the run from its first file, writing as the intervals close.
// Returns the exit status.
int follow_and_write(const arguments& args, const run_plan& plan, const inspect_config& config,
                     inspect_held* held) {
    held->follow = static_cast<follow_state*>(std::calloc(1, sizeof(follow_state)));
    int error =
        held->follow ? follow_start(held->follow, plan.files[0], config, &stop_signal) : ENOMEM;
    if (error != 0) {
        std::fprintf(stderr, "acc_inspect: cannot follow: %s\n", std::strerror(error));
        return exit_invalid;
    }
    catch_stop_signals();
    const follow_state& f = *held->follow;
    const bool json_lines = args.json_path != nullptr;
    std::FILE* notes = json_lines ? stderr : stdout;  // the JSON Lines stay JSON
    if (f.open_error == 0) std::fprintf(notes, "acc_inspect: following %s\n", f.path);
    follow_tally tally{};
    for (;;) {
        const follow_report r = follow_next(held->follow);
        switch (r.event) {
            case follow_event::interval: {
                const trend_interval& v = *r.interval;
                const bool above = args.have_alarm && v.velocity_rms_mm_s > args.alarm_mm_s;
                const followed_interval line{&f.result->trend,
                                             &v,
                                             &f.clock,
                                             f.path,
                                             f.result->stats.gaps,
                                             f.result->stats.overlaps,
                                             args.have_alarm,
                                             above};
                error = json_lines ? write_json_line(stdout, line)
                                   : write_follow_line(stdout, line, args.alarm_mm_s);
                ++tally.intervals;
                tally.above_alarm += above ? 1 : 0;
                tally.latest = v;
                tally.have_latest = true;
                tally.prom_due = true;
                tally.stalled = false;
                break;
            }
            case follow_event::caught_up:
                if (tally.prom_due) write_prom_file(args, f, &tally, held);
                break;
            case follow_event::stalled:
                std::fprintf(notes,
                             "acc_inspect: %s: stalled, no row for %.0f s while the recorder "
                             "holds it\n",
                             r.path, follow_stall_s);
                tally.stalled = true;
                write_prom_file(args, f, &tally, held);
                break;
            case follow_event::next_file:
                std::fprintf(notes, "acc_inspect: following %s\n", r.path);
                break;
            case follow_event::failed:
                std::fflush(stdout);
                print_fault(r.path, f.open_error, 0, f.reader.failure, f.reader.rows);
                return exit_invalid;
            case follow_event::ended:
            case follow_event::stopped: {
                if (tally.prom_due) write_prom_file(args, f, &tally, held);
                char how[128];
                describe_follow_end(r.event == follow_event::stopped, f.result->tail, how,
                                    sizeof how);
                print_summary(notes, how, args, f, tally);
                break;
            }
        }
        if (error == 0 && std::fflush(stdout) != 0) error = errno ? errno : EIO;
        if (error != 0) {
            std::fprintf(stderr, "acc_inspect: cannot write the report: %s\n",
                         std::strerror(error));
            return exit_invalid;
        }
        if (r.event == follow_event::ended || r.event == follow_event::stopped) break;
    }
    if (tally.status != exit_valid) return tally.status;
    return tally.above_alarm > 0 ? exit_alarm : exit_valid;
}

}  // namespace

int main(int argc, char** argv) {
    arguments args;
    inspect_config config = default_inspect_config();
    int status = parse_arguments(argc, argv, &args, &config);
    if (status >= 0) return status;
    run_plan plan;
    status = choose_files(&args, &plan);
    if (status >= 0) return status;
    status = settle_window(args, clock_of(plan), &config);
    if (status >= 0) return status;
    status = refuse_output_onto_data_files(args, plan);
    if (status >= 0) return status;
    // A file-size limit makes a write fail, reported, instead of ending the
    // inspector halfway through a file.
    std::signal(SIGXFSZ, SIG_IGN);

    inspect_held held{};
    status = args.follow_path ? follow_and_write(args, plan, config, &held)
                              : inspect_and_write(args, plan, config, &held);
    release_held(&held);
    return status;
}
