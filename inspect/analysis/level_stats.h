// The shape of the acceleration's distribution beside its range and RMS:
// crest factor, kurtosis and skewness from moments about the mean, gathered
// in one pass from sums of powers of the departures from the first value
// (close to the mean, so the sums keep their digits).
#ifndef ACC_INSPECT_LEVEL_STATS_H
#define ACC_INSPECT_LEVEL_STATS_H

#include "inspect_stats.h"

#include <cstdint>

struct level_moments {
    std::uint64_t count;
    double shift;
    double s1;
    double s2;
    double s3;
    double s4;
};

void moments_add(level_moments* m, double value);

struct level_figures {
    double largest_departure_g;  // from the mean, either way
    double largest_departure_ms2;
    double crest_factor;  // largest departure over the RMS about the mean
    double kurtosis;      // m4 / m2^2: 3 for Gaussian noise, 1.5 for a sine
    double skewness;      // m3 / m2^1.5
};

// NaN where a figure is undefined (no rows, or no variation).
level_figures level_figures_of(const level_moments& m, const inspect_stats& stats);

#endif
