// acc_recorder: records one analog input into a CSV file until a key is
// pressed or a stop signal arrives. Each build compiles only this file with
// its own output directory, file span, version and device library.
#include "recorder.h"

int main() { return run_recorder(compiled_run_settings, ACC_VERSION, ACC_DEVICE_SIMULATOR != 0); }
