// A follower's outputs as the intervals close: a line or a JSON Line each,
// the .prom file, the notes on files and stalls, and the summary at the end.
#ifndef ACC_INSPECT_FOLLOW_DRIVER_H
#define ACC_INSPECT_FOLLOW_DRIVER_H

#include "inspect_options.h"
#include "inspect_run.h"
#include "run_files.h"

// With --follow, a directory that holds no recording yet: waits, with a
// note, until its first data file appears, or Ctrl-C. Returns -1 to go on,
// else the exit status.
int wait_for_recording(const arguments& args);

// Follows the run from its first file, writing as the intervals close, until
// the recorder lets go of it or Ctrl-C. Returns the exit status.
int follow_and_write(const arguments& args, const run_plan& plan, const inspect_config& config);

#endif
