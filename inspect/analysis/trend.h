// How the vibration changes over the run: per interval of time the RMS
// about the interval's mean, the largest departure from it (peak), and the
// kurtosis, and the dominant frequency and the velocity RMS in the band of
// the spectrum segments that ended in it.
//
// Constant memory: up to trend_capacity intervals are kept; when full, the
// interval doubles and neighbours merge, as the picture's envelope does.
#ifndef ACC_INSPECT_TREND_H
#define ACC_INSPECT_TREND_H

#include "moments.h"
#include "pair_merge.h"
#include "spectrum.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t trend_capacity = 32768;

struct trend_interval {
    std::uint64_t index;  // start = origin + index * interval
    std::uint64_t rows;
    double first_s;
    double last_s;
    double mean_g;
    double m2;  // sum of squared departures from the mean
    double m3;  // ... of their cubes
    double m4;  // ... of their fourth powers
    double min_g;
    double max_g;
    double rms_g;        // about the mean
    double peak_g;       // largest departure from the mean
    double kurtosis;     // m4 / m2^2 per row; NaN when every row is the same
    double dominant_hz;  // NaN when no spectrum segment ended in the interval
    double dominant_amplitude_g;
    std::uint64_t segments;    // spectrum segments that ended in it
    double velocity_rms_mm_s;  // in the band; NaN without segments or band
};

// Mean and sums of departures combined exactly; the stronger of the two
// dominant frequencies stands for both.
void merge_slots(trend_interval* a, const trend_interval& b);

struct trend_state {
    double origin_s;
    double interval_s;
    bool started;
    trend_interval open;  // its rows, range and mean come from open_moments when it closes
    moments open_moments;
    double* open_power;  // bins of the spectrum segments ended in the open interval
    std::size_t bins;
    std::uint64_t open_segments;
    double bin_hz;
    double band_low_hz;  // of the velocity RMS
    double band_high_hz;
    double density_scale;  // of a segment's power; 0: no velocity RMS
    pair_merge_buffer<trend_interval, trend_capacity> intervals;
    // After trend_finish, with intervals.count > 0: where the extremes are, and the
    // range of the dominant frequencies (NaN when no interval has one).
    std::size_t lowest_rms;
    std::size_t highest_rms;
    std::size_t highest_peak;
    double dominant_low_hz;
    double dominant_high_hz;
};

// `bins`, `bin_hz`: of the spectrum segments; 0 bins for no frequencies.
// Returns 0 or ENOMEM.
int trend_init(trend_state* trend, double interval_s, std::size_t bins, double bin_hz);
// The band of the velocity RMS, and what turns a segment's power into a
// density (welch_density_scale).
void trend_set_band(trend_state* trend, double low_hz, double high_hz, double density_scale);
void trend_add(trend_state* trend, double time_s, double value_g);
// The power of a segment that ended with the last row added.
void trend_add_segment(trend_state* trend, const double* power);
// Closes the open interval; the figures are then in `intervals` and the
// extremes beside them.
void trend_finish(trend_state* trend);
void trend_free(trend_state* trend);

// Where the interval starts, in row time.
inline double trend_start_s(const trend_state& trend, const trend_interval& v) {
    return trend.origin_s + static_cast<double>(v.index) * trend.interval_s;
}

#endif
