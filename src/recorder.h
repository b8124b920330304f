// The recorder's run; its entry point gives it the build's settings.
#ifndef ACC_RECORDER_H
#define ACC_RECORDER_H

#include "run_settings.h"

// Records one analog input into CSV files until a key is pressed or a stop
// signal arrives, reporting on standard output. `version` and `simulator`
// (the device library is the simulated one) go into the provenance. Returns
// the exit status.
int run_recorder(const run_settings& settings, const char* version, bool simulator);

#endif
