// acc_inspect's command line: the data files and outputs into `arguments`,
// the inspection's settings into `inspect_config`, help and version, and
// every usage error in the inspector's own words.
#ifndef ACC_INSPECT_OPTIONS_H
#define ACC_INSPECT_OPTIONS_H

#include "inspect_run.h"

#include <string>
#include <vector>

extern const char usage_text[];

struct arguments {
    const char* data_path;  // the first file read, for the report's heading
    const char* svg_path;
    const char* json_path;
    const char* csv_dir;
    const char* run_selector;
    bool follow;              // --follow, a mode: the data path is its file or directory
    const char* follow_path;  // with --follow: that file or directory
    bool across_runs;         // --across-runs: after a run, on to the directory's next
    bool history;             // --history, a mode: the data path is the summaries' directory
    int analysis_option;      // the last of --segment, --band, --interval, --peaks given, or 0
    const char* prom_path;
    bool have_alarm;
    double alarm_mm_s;
    std::vector<std::string> inputs;  // files and directories as given
    bool from_is_utc;                 // --from and --to given as clock times
    double from_unix_s;
    bool to_is_utc;
    double to_unix_s;
};

// "acc_inspect: MESSAGEARGUMENT" and the usage on stderr. Returns exit_usage.
int usage_error(const char* message, const char* argument);

// Returns -1 to go on, else the exit status (help or version shown: 0).
int parse_arguments(int argc, char** argv, arguments* args, inspect_config* config);

#endif
