#include "inspect_options.h"

#include "program_status.h"
#include "run_files.h"
#include "utc_time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#ifndef ACC_INSPECT_VERSION
#define ACC_INSPECT_VERSION "0"
#endif

const char usage_text[] =
    "usage: acc_inspect FILE.csv [--svg OUT.svg]\n"
    "       [--json OUT.json|-] [--csv DIR] [--from S] [--to S] [--segment N]\n"
    "       [--band LO:HI] [--interval S] [--peaks N]\n"
    "       acc_inspect FILE... | DIR [--run ID|FILE] [the same options]\n";

namespace {

constexpr std::size_t smallest_segment = 16;
constexpr std::size_t largest_segment = 65536;

void print_help() {
    std::printf(
        "%s"
        "       acc_inspect --follow FILE|DIR [--json -] [--prom FILE.prom]\n"
        "       [--alarm MM_S] [--run ID|FILE] [--band LO:HI] [--interval S] [--segment N]\n"
        "       acc_inspect --follow DIR --across-runs [the same options]\n"
        "       acc_inspect --history DIR [--from UTC] [--to UTC] [--alarm MM_S]\n"
        "       [--json OUT.json|-] [--svg OUT.svg|-]\n"
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
        "                    the RMS and peak over time and a spectrogram; '-'\n"
        "                    writes it to stdout instead of the text report\n"
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
        "  --follow          FILE or DIR is a recording being made: one line per\n"
        "                    interval as the rows come, into the run's next files,\n"
        "                    until the recorder lets go of its last file, or Ctrl-C;\n"
        "                    a DIR without a recording yet is waited on\n"
        "  --across-runs     with --follow DIR: once the recorder has let go of the\n"
        "                    run, wait for the next run in DIR and follow it, until\n"
        "                    Ctrl-C\n"
        "  --json -          with --follow: one JSON object per interval per line\n"
        "  --prom FILE       with --follow: keep FILE, for the node exporter's\n"
        "                    textfile collector, with the latest interval's levels\n"
        "  --alarm MM_S      with --follow or --history: mark the intervals whose velocity RMS is\n"
        "                    above MM_S mm/s, and exit with status 3 if any was\n"
        "  --history         DIR holds acc_archive's summaries: per hour (per day\n"
        "                    beyond 7 days) the median and largest velocity RMS, the\n"
        "                    largest peak, the seconds above --alarm and the time\n"
        "                    missing, and the periods whose recordings are still there\n"
        "                    (--svg: the median, smallest and largest velocity RMS\n"
        "                    of each interval over time)\n"
        "  --help            show this help\n"
        "  --version         show the version\n"
        "\n"
        "Exit status: 0 valid file, 1 invalid or unreadable file (the first fault,\n"
        "its file and line on stderr) or an output that cannot be written, 2 usage\n"
        "error, files of different runs, or an output that is a file of the\n"
        "recording itself (never written); with --follow or --history 3 when an\n"
        "interval was above --alarm; 4 when --from and --to leave out every row.\n",
        usage_text, smallest_segment, largest_segment, default_segment_size, max_reported_peaks,
        default_reported_peaks);
}

bool parse_number(const char* text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*value);
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
    opt_across_runs,
    opt_history,
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
    // A mode: its file or directory is the data path, wherever it stands;
    // --follow=PATH is taken too.
    {"follow", optional_argument, nullptr, opt_follow},
    {"prom", required_argument, nullptr, opt_prom},
    {"alarm", required_argument, nullptr, opt_alarm},
    {"across-runs", no_argument, nullptr, opt_across_runs},
    // A mode as --follow: its directory is the data path, wherever it stands.
    {"history", optional_argument, nullptr, opt_history},
    {nullptr, 0, nullptr, 0},
};

const char* option_name(int id) { return long_option_name(long_options, id); }

// A missing or empty value: what it should have been.
int needs_value(int id) {
    const char* noun = id == opt_svg || id == opt_json || id == opt_prom ? "file name"
                       : id == opt_csv                                   ? "directory"
                                                                         : "value";
    char message[64];
    std::snprintf(message, sizeof message, "--%s needs a %s", option_name(id), noun);
    return usage_error(message, nullptr);
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
    if (id == opt_segment || id == opt_band || id == opt_interval || id == opt_peaks)
        args->analysis_option = id;
    switch (id) {
        case opt_follow:
        case opt_history: {
            bool& mode = id == opt_follow ? args->follow : args->history;
            if (mode) {
                std::snprintf(message, sizeof message, "--%s given twice", option_name(id));
                return usage_error(message, nullptr);
            }
            mode = true;
            if (value && value[0] == '\0')
                return usage_error(id == opt_follow ? "--follow needs a file or directory"
                                                    : "--history needs a directory",
                                   nullptr);
            if (value) args->inputs.push_back(value);
            break;
        }
        case opt_svg:
        case opt_json:
        case opt_csv:
        case opt_prom: {
            const char** slot = id == opt_svg    ? &args->svg_path
                                : id == opt_json ? &args->json_path
                                : id == opt_csv  ? &args->csv_dir
                                                 : &args->prom_path;
            if (*slot) {
                std::snprintf(message, sizeof message, "--%s given twice", option_name(id));
                return usage_error(message, nullptr);
            }
            if (value[0] == '\0') return needs_value(id);
            // "-" is standard output for the picture and the JSON only.
            if ((id == opt_csv || id == opt_prom) && is_standard_output(value))
                return bad(id == opt_csv ? "a directory" : "a file name");
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
            unsigned long long n = 0;
            if (!parse_whole(value, smallest_segment, largest_segment, &n) || (n & (n - 1)) != 0)
                return bad("a power of two from 16 to 65536");
            config->segment_size = static_cast<std::size_t>(n);
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
        case opt_across_runs:
            args->across_runs = true;
            break;
        case opt_run:
            if (args->run_selector) return usage_error("--run given twice", nullptr);
            if (value[0] == '\0')
                return usage_error("--run needs a run_id or a file name", nullptr);
            args->run_selector = value;
            break;
        default: {  // opt_peaks
            unsigned long long n = 0;
            if (!parse_whole(value, 0, max_reported_peaks, &n)) return bad("a count from 0 to 50");
            config->peaks = static_cast<std::size_t>(n);
        }
    }
    return -1;
}

// A follower reads one file or directory and writes lines, JSON Lines and
// the .prom file only. Returns -1 to go on, else the exit status.
int settle_follow(arguments* args, const inspect_config& config) {
    if (!args->follow)
        return usage_error(args->prom_path    ? "--prom needs --follow"
                           : args->have_alarm ? "--alarm needs --follow"
                                              : "--across-runs needs --follow",
                           nullptr);
    if (args->inputs.empty()) return usage_error("--follow needs a file or directory", nullptr);
    if (args->inputs.size() > 1)
        return usage_error("--follow reads one file or directory; also given: ",
                           args->inputs[1].c_str());
    const char* alone = args->svg_path                       ? "--svg"
                        : args->csv_dir                      ? "--csv"
                        : config.have_from || config.have_to ? "--from or --to"
                                                             : nullptr;
    if (alone) return usage_error(alone, " is not for --follow");
    if (args->json_path && !is_standard_output(args->json_path))
        return usage_error("with --follow the JSON Lines go to standard output: --json -", nullptr);
    if (args->across_runs && !is_directory(args->inputs[0].c_str()))
        return usage_error("--across-runs follows the runs of a directory, not ",
                           args->inputs[0].c_str());
    args->follow_path = args->inputs[0].c_str();
    return -1;
}

// The history reads the summaries of one directory and writes its report
// and JSON. Returns -1 to go on, else the exit status.
int settle_history(const arguments& args, const inspect_config& config) {
    // The summaries hold each second's levels: the spectrum's settings cannot reach them.
    char analysis[16] = "";
    if (args.analysis_option != 0)
        std::snprintf(analysis, sizeof analysis, "--%s", option_name(args.analysis_option));
    const char* alone =
        args.follow         ? "--follow"
        : analysis[0]       ? analysis
        : args.csv_dir      ? "--csv"
        : args.prom_path    ? "--prom"
        : args.across_runs  ? "--across-runs"
        : args.run_selector ? "--run"
        : (config.have_from && !args.from_is_utc) || (config.have_to && !args.to_is_utc)
            ? "--from or --to in seconds"
            : nullptr;
    if (alone) return usage_error(alone, " is not for --history (UTC times are)");
    if (is_standard_output(args.svg_path) && is_standard_output(args.json_path))
        return usage_error("--svg - and --json - both ask for standard output", nullptr);
    if (args.inputs.empty()) return usage_error("--history needs a directory", nullptr);
    if (args.inputs.size() > 1)
        return usage_error("--history reads one directory; also given: ", args.inputs[1].c_str());
    if (!is_directory(args.inputs[0].c_str()))
        return usage_error("--history reads the summaries of a directory, not ",
                           args.inputs[0].c_str());
    return -1;
}

}  // namespace

int usage_error(const char* message, const char* argument) {
    return report_usage_error("acc_inspect", usage_text, message, argument);
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
        if (std::strcmp(argv[i], "--version") == 0)
            return print_version("acc_inspect", ACC_INSPECT_VERSION);
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
            args->inputs.push_back(optarg);
        } else if (c == '?' || !typed_in_full(argv[at], c == ':' ? optopt : c)) {
            status = usage_error("unknown option ", argv[at]);
        } else if (c == ':') {
            status = needs_value(optopt);
        } else {
            status = take_option(c, optarg, args, config);
        }
        if (status >= 0) return status;
    }
    for (int i = optind; i < argc; ++i) args->inputs.push_back(argv[i]);  // after "--"
    for (const std::string& input : args->inputs)
        if (input == "-")
            return usage_error(
                "standard input is not read: give the data file's path "
                "(./- for a file named -)",
                nullptr);
    if (args->history) return settle_history(*args, *config);
    if (args->follow || args->prom_path || args->have_alarm || args->across_runs)
        return settle_follow(args, *config);
    if (args->inputs.empty()) return usage_error("no data file given", nullptr);
    if (is_standard_output(args->svg_path) && is_standard_output(args->json_path))
        return usage_error("--svg - and --json - both ask for standard output", nullptr);
    return -1;
}
