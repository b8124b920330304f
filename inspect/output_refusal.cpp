#include "output_refusal.h"

#include "csv_output.h"
#include "output_file.h"
#include "program_status.h"
#include "provenance_file.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// An output option and its file.
struct named_output {
    const char* option;
    const char* path;
};

// `what`: the kind of file `data_path` is, as the message names it.
int refuse_output_onto_file(const arguments& args, const char* data_path, const char* what) {
    // Standard output ("-") is not a file of its own here; it is checked last.
    const named_output files[] = {
        {"--svg ", is_standard_output(args.svg_path) ? nullptr : args.svg_path},
        {"--json ", is_standard_output(args.json_path) ? nullptr : args.json_path},
        {"--prom ", args.prom_path},
    };
    named_output same{nullptr, nullptr};
    for (const named_output& o : files)
        if (!same.option && o.path && is_same_file(data_path, o.path)) same = o;
    char csv_path[1024];
    const char* const names[] = {spectrum_csv_name, octave_csv_name, trend_csv_name};
    for (const char* name : names) {
        if (same.option || !args.csv_dir) break;
        std::snprintf(csv_path, sizeof csv_path, "%s/%s", args.csv_dir, name);
        if (is_same_file(data_path, csv_path)) same = named_output{"--csv ", csv_path};
    }
    if (!same.option && is_same_file_as_descriptor(data_path, STDOUT_FILENO))
        same = named_output{"standard output", ""};
    if (!same.option) return -1;
    std::fprintf(stderr, "acc_inspect: %s%s is the %s %s itself; it is never written\n%s",
                 same.option, same.path, what, data_path, usage_text);
    return exit_usage;
}

}  // namespace

int refuse_output_onto_data_files(const arguments& args, const run_plan& plan) {
    for (const run_file& f : plan.files) {
        int status = refuse_output_onto_file(args, f.path.c_str(), "data file");
        char sidecar[4096];
        if (status < 0 && provenance_path(f.path.c_str(), sidecar, sizeof sidecar) &&
            access(sidecar, F_OK) == 0)
            status = refuse_output_onto_file(args, sidecar, "data file");
        if (status >= 0) return status;
    }
    return -1;
}

int refuse_output_onto_summaries(const arguments& args, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        const int status = refuse_output_onto_file(args, path.c_str(), "summary");
        if (status >= 0) return status;
    }
    return -1;
}
