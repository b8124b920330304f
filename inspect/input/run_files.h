// Which files make up the recording to inspect: the files named, ordered by
// their provenance, or the most recent run of a directory. Nothing here
// prints; main reports the fault.
#ifndef ACC_INSPECT_RUN_FILES_H
#define ACC_INSPECT_RUN_FILES_H

#include "provenance_file.h"

#include <string>
#include <vector>

struct run_file {
    std::string path;
    provenance prov;
};

// One run found in a directory, for the list shown when there are several.
struct run_seen {
    std::string first_file;
    std::size_t files;
    std::string run_id;  // empty without provenance
    double start_unix_s;
};

enum class run_fault {
    none,
    cannot_list,      // a directory that cannot be read; `err`
    no_recording,     // a directory without data files; `subject`
    two_runs,         // `subject` and `other` are of different runs
    segment_twice,    // `subject` and `other` are the same segment of the run
    run_not_found,    // --run matches no run; `subject`
    run_ambiguous,    // --run matches several; `subject`
    settings_differ,  // `subject` and `other` were recorded at different settings
};

struct run_plan {
    std::vector<run_file> files;  // in the order to read
    std::vector<run_seen> runs;   // with a directory: every run it holds, oldest first
    std::size_t chosen_run;       // index into `runs` when it is not empty
    // What the files were recorded at: their provenance's settings, this
    // build's for a file without them.
    double sample_rate_hz;
    double sensitivity_mv_per_g;
    bool settings_from_provenance;  // some file's provenance gave them
    run_fault fault;
    int err;
    std::string subject;
    std::string other;
};

// `arguments`: the data files and directories given; `run_selector`: a
// run_id prefix or a file name of the run to pick from a directory, or
// nullptr for the most recent.
void plan_run(const std::vector<std::string>& arguments, const char* run_selector, run_plan* plan);

bool is_directory(const char* path);

#endif
