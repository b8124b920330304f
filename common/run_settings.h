// The recorder's compiled-in settings. Nothing at run time changes them.
#ifndef ACC_RUN_SETTINGS_H
#define ACC_RUN_SETTINGS_H

#include <cstdint>

// Chosen at build time (CMake cache variable ACC_OUT_DIR); never created by
// the program. Written without a trailing slash.
#ifndef ACC_OUT_DIR
#define ACC_OUT_DIR "/home/pi/acc_data"
#endif

// Chosen at build time (CMake cache variable ACC_FILE_SPAN_S, checked there).
#ifndef ACC_FILE_SPAN_S
#define ACC_FILE_SPAN_S 0
#endif
static_assert(ACC_FILE_SPAN_S >= 0 && ACC_FILE_SPAN_S <= 86400 &&
                  86400 % (ACC_FILE_SPAN_S > 0 ? ACC_FILE_SPAN_S : 1) == 0,
              "a file span is whole seconds that divide a day, or 0");

// Chosen at build time (CMake cache variable ACC_SENSITIVITY_MV_PER_G,
// checked there): the sensor's output per g of acceleration.
#ifndef ACC_SENSITIVITY_MV_PER_G
#define ACC_SENSITIVITY_MV_PER_G 500.0
#endif
static_assert(ACC_SENSITIVITY_MV_PER_G > 0.0 && ACC_SENSITIVITY_MV_PER_G < 1e6,
              "a sensitivity is above 0 mV/g and below 1000000 mV/g");

struct run_settings {
    double sample_rate_hz;
    std::uint32_t chunk_points;
    std::int32_t ai_option;
    double sensitivity_mv_per_g;
    const char* out_dir;
    // At most this much of the recording is held only in memory: the data
    // file is forced to storage this often (one journal commit each time).
    double sync_interval_s;
    // 0: one data file per run. Else a new file starts at every multiple of
    // this many seconds from local midnight, so hourly files start on the hour.
    std::uint32_t file_span_s;
};

constexpr run_settings compiled_run_settings = {
    10000.0,                   // sample_rate_hz
    1000,                      // chunk_points
    0,                         // ai_option
    ACC_SENSITIVITY_MV_PER_G,  // sensitivity_mv_per_g
    ACC_OUT_DIR,               // out_dir
    1.0,                       // sync_interval_s
    ACC_FILE_SPAN_S,           // file_span_s
};

#endif
