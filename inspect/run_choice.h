// The recording an inspection reads: the run's files chosen among the
// files and directories given (a run that cannot be told is reported),
// where its row times stand on the clock, and --from and --to in row times.
#ifndef ACC_INSPECT_RUN_CHOICE_H
#define ACC_INSPECT_RUN_CHOICE_H

#include "inspect_options.h"
#include "inspect_run.h"
#include "run_files.h"

// The files of the run, in order; a run that cannot be told is reported.
// Returns -1 to go on, else the exit status.
int choose_files(arguments* args, run_plan* plan);

// The rows are checked and analysed at the rate and sensitivity they were
// recorded at (the plan's); a block is still this build's.
void take_run_settings(const run_plan& plan, inspect_config* config);

// Where row time 0 stands on the clock: the first file's provenance.
run_clock clock_of(const run_plan& plan);

// --from and --to given as clock times become row times. Returns -1 to go
// on, else the exit status.
int settle_window(const arguments& args, const run_clock& clock, inspect_config* config);

#endif
