// The shape of the acceleration's distribution beside its range and RMS:
// crest factor, kurtosis and skewness from its moments about the mean.
#ifndef ACC_INSPECT_LEVEL_STATS_H
#define ACC_INSPECT_LEVEL_STATS_H

#include "inspect_stats.h"

struct level_figures {
    double largest_departure_g;  // from the mean, either way
    double largest_departure_ms2;
    double crest_factor;  // largest departure over the RMS about the mean
    double kurtosis;      // m4 / m2^2: 3 for Gaussian noise, 1.5 for a sine
    double skewness;      // m3 / m2^1.5
};

// Of the moments of stats.accel_g; NaN where a figure is undefined (no rows,
// or no variation).
level_figures level_figures_of(const inspect_stats& stats);

#endif
