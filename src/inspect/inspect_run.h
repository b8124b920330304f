// One pass over a data file: validation, statistics, spectrum and the
// envelope for the picture, in memory that does not grow with the file.
#ifndef ACC_INSPECT_RUN_H
#define ACC_INSPECT_RUN_H

#include "csv_reader.h"
#include "inspect_stats.h"
#include "spectrum.h"
#include "svg_plot.h"

#include <cstddef>
#include <cstdint>

struct inspect_config {
    double rate_hz;
    double sensitivity_v_per_g;
    double threshold_s;        // continuity: larger departures from the step count
    std::uint32_t block_rows;  // rows the recorder writes per read
    std::size_t segment_size;  // spectrum
    std::size_t buffer_size;   // reads
};

// This build's rate and sensitivity; a discontinuity is a step off by more
// than half a block, well above the few milliseconds by which the host's
// read times stray.
inspect_config default_inspect_config();

constexpr std::size_t reported_peaks = 5;
// A peak is reported when it stands this many times above the median bin
// (20 dB): the strongest bins of plain noise are not vibrations.
constexpr double peak_over_floor = 10.0;

struct inspect_result {
    int open_error;        // errno of opening the file, else 0
    int resource_error;    // ENOMEM or EINVAL from the spectrum set-up, else 0
    read_failure failure;  // read_fault::none for a valid file
    std::uint64_t rows_before_failure;
    std::uint64_t bytes;  // of whole lines read
    inspect_stats stats;
    envelope env;
    int spectrum_error;  // 0, or ENODATA with too few rows
    amplitude_spectrum spectrum;
    spectral_peak peaks[reported_peaks];
    std::size_t peak_count;
    double noise_floor;
};

// Reads the whole file. Returns true when it is a valid data file; `result`
// says what it holds or why not. Large: allocate it on the heap. Release
// with inspect_result_free on every path.
bool inspect_file(const char* path, const inspect_config& config, inspect_result* result);
bool inspect_fd(int fd, const inspect_config& config, inspect_result* result);

void inspect_result_free(inspect_result* result);

#endif
