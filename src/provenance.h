// The recorder's part of the provenance file (provenance_file.h): a new run
// id, the host's name and the kernel's view of the clock.
#ifndef ACC_PROVENANCE_H
#define ACC_PROVENANCE_H

#include <cstddef>

#include "data_file.h"
#include "provenance_file.h"
#include "run_settings.h"

// Room for a data file's path with ".json" in place of ".csv".
constexpr std::size_t provenance_path_size = csv_path_size + 1;

// Fills everything but start_s, with a new run id and the host's name.
void init_run_provenance(run_provenance* run, const run_settings* settings, const char* version,
                         const char* library_path, bool simulator);

clock_state read_clock_state();

#endif
