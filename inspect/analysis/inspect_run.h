// One pass over the rows of a data file: validation, statistics, spectrum
// and density, trend, spectrogram and the envelope for the picture, in
// memory that does not grow with the file. The outputs only read the result
// it fills; the rows come from read_run or from a follower.
#ifndef ACC_INSPECT_RUN_H
#define ACC_INSPECT_RUN_H

#include "band_levels.h"
#include "csv_reader.h"
#include "envelope.h"
#include "inspect_stats.h"
#include "level_stats.h"
#include "provenance_file.h"
#include "spectrogram.h"
#include "spectrum.h"
#include "trend.h"
#include "utc_time.h"

#include <cstddef>
#include <cstdint>

struct inspect_config {
    double rate_hz;
    double sensitivity_v_per_g;
    double threshold_s;        // continuity: larger departures from the step count
    std::uint32_t block_rows;  // rows the recorder writes per read
    std::size_t segment_size;  // spectrum
    std::size_t buffer_size;   // reads
    bool have_from;            // only rows from `from_s` ...
    double from_s;
    bool have_to;  // ... and before `to_s` count
    double to_s;
    double band_low_hz;  // band RMS, velocity and displacement
    double band_high_hz;
    double trend_interval_s;
    std::size_t peaks;  // at most max_reported_peaks
    // rate_hz and sensitivity_v_per_g from the recording's provenance, not
    // this build's
    bool settings_from_provenance;
};

// This build's rate and sensitivity; a discontinuity is a step off by more
// than half a block, well above the few milliseconds by which the host's
// read times stray.
inspect_config default_inspect_config();

// A recording's own rate and sensitivity (mV/g) in `config`, and the
// continuity threshold that follows from the rate.
void set_run_settings(inspect_config* config, double rate_hz, double sensitivity_mv_per_g,
                      bool from_provenance);

constexpr std::size_t default_reported_peaks = 5;
constexpr std::size_t max_reported_peaks = 50;
// A peak is reported when it stands this many times above the median bin
// (20 dB): the strongest bins of plain noise are not vibrations.
constexpr double peak_over_floor = 10.0;

// One file of a run as read: every row of it, whatever the window.
struct part_summary {
    const char* path;
    std::uint64_t rows;
    bool have_time;
    double first_time_s;
    double last_time_s;
    std::uint64_t bytes;
    std::uint64_t stored_bytes;
    bool compressed;
    bool compact;           // of the compressed, the compact form
    bool valid;             // read to its end without a fault
    interrupted_tail tail;  // left out after the last whole row: only in a run's last file
};

// Where the row times stand on the clock: from the run's provenance.
struct run_clock {
    bool known;  // start_unix_s holds the instant of row time 0
    double start_unix_s;
    bool synchronized;
    char run_id[33];
};

// The clock a provenance file gives, unknown without its start.
run_clock clock_of(const provenance& p);

// Row time `t` on a known clock, to the millisecond.
struct clock_text {
    char text[utc_text_size];
};
clock_text clock_time(const run_clock& clock, double t);

struct inspect_result {
    int open_error;        // errno of opening the file, else 0
    int resource_error;    // ENOMEM or EINVAL from the spectrum set-up, else 0
    read_failure failure;  // read_fault::none for a valid file
    std::uint64_t rows_before_failure;
    std::uint64_t bytes;            // of whole lines read
    std::uint64_t stored_bytes;     // read from the files: the compressed size of compressed parts
    bool compressed;                // some part was zstd, gzip or compact
    bool compact;                   // some part was compact
    std::uint64_t rows_as_numbers;  // taken from compact columns, checked by construction
    inspect_stats stats;
    level_figures levels;
    envelope env;
    int spectrum_error;  // 0, or ENODATA with too few rows
    amplitude_spectrum spectrum;
    spectral_peak peaks[max_reported_peaks];
    std::size_t peak_count;
    double noise_floor;
    double peak_threshold;  // peak_over_floor times the noise floor
    band_levels bands;      // when spectrum_error is 0
    trend_state trend;
    spectrogram spectro;
    part_summary* parts;  // part_count of them, in the order read
    std::size_t part_count;
    std::size_t failed_part;  // with a failure or open_error
    run_clock clock;
    interrupted_tail tail;  // of the last part: the recording or its copy was interrupted
};

// Releases what the pass left in `result`.
void inspect_result_free(inspect_result* result);

// Whether --from or --to left out every row of a recording whose rows have
// times; `first_s` and `last_s` then hold the first and last row time of
// the whole recording.
bool window_missed(const inspect_result& result, const inspect_config& config, double* first_s,
                   double* last_s);

// What the pass over the rows carries from one row to the next beside the
// result it fills, so that a follower of a growing file learns from each row
// exactly what a later inspection of the finished files does.
struct row_pass {
    welch_state welch;
    double segment_span_s;
    double held_g;  // stands in for a value that is not finite
    bool have_time;
    double time_s;  // of the last row with a finite time
    std::uint64_t rows_to_second_break;
};

// Sets up the analyses of a zeroed `result`. Returns 0, ENOMEM or EINVAL; on
// failure nothing is left to free. Free with row_pass_free and
// inspect_result_free.
int row_pass_init(row_pass* pass, const inspect_config& config, inspect_result* result);
// One row, read from `line` of `part`.
void row_pass_add(row_pass* pass, const inspect_config& config, inspect_result* result,
                  part_summary* part, const csv_row& row, std::uint64_t line);
// After the last row: the figures of the whole pass. Returns false, with
// `resource_error` set, when there is no memory for them.
bool row_pass_finish(row_pass* pass, const inspect_config& config, inspect_result* result);
void row_pass_free(row_pass* pass);

#endif
