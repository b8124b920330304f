// The inspector never writes to the files it reads.
#ifndef ACC_INSPECT_OUTPUT_REFUSAL_H
#define ACC_INSPECT_OUTPUT_REFUSAL_H

#include "inspect_options.h"
#include "run_files.h"

#include <string>
#include <vector>

// An output that is a data file of the run or its provenance file, by
// whatever name, standard output included, is a usage error, reported.
// Returns -1 to go on, else the exit status.
int refuse_output_onto_data_files(const arguments& args, const run_plan& plan);

// The same for the history's summaries (their paths).
int refuse_output_onto_summaries(const arguments& args, const std::vector<std::string>& paths);

#endif
