#include "output_refusal.h"

#include "csv_output.h"
#include "output_file.h"
#include "program_status.h"
#include "provenance_file.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

int refuse_output_onto_file(const arguments& args, const char* data_path) {
    const bool json_to_stdout = is_standard_output(args.json_path);
    const char* option = nullptr;
    const char* output = nullptr;
    char csv_path[1024];
    if (args.svg_path && !is_standard_output(args.svg_path) &&
        is_same_file(data_path, args.svg_path)) {
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

}  // namespace

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
