// What the power spectral density integrates to: the overall RMS, the RMS in
// a band, one-third-octave band levels, and velocity and displacement RMS
// by dividing the acceleration density by (2 pi f)^2 and (2 pi f)^4.
#ifndef ACC_INSPECT_BAND_LEVELS_H
#define ACC_INSPECT_BAND_LEVELS_H

#include "spectrum.h"

#include <cstddef>

// Base-ten one-third-octave bands, centres 10^(n/10) Hz from 1.25 Hz.
constexpr std::size_t max_octave_bands = 64;

struct octave_band {
    double nominal_hz;  // the centre as band tables print it
    double low_hz;      // centre times 10^(-1/20)
    double high_hz;     // centre times 10^(1/20)
    double rms_g;
    std::size_t bins;  // bins with low <= f < high; 0: the band is narrower than a bin
};

struct band_levels {
    double grms_g;  // bins 1 to Nyquist
    double band_low_hz;
    double band_high_hz;    // at most Nyquist, when the band starts below it
    std::size_t band_bins;  // bins with low <= f <= high
    double band_rms_g;
    double velocity_rms_mm_s;
    double displacement_rms_um;
    octave_band octave[max_octave_bands];
    std::size_t octave_count;  // bands whose upper edge is at most Nyquist
};

// Sums density times bin width over the bins; `spectrum.psd` in g^2/Hz.
void compute_band_levels(const amplitude_spectrum& spectrum, double band_low_hz,
                         double band_high_hz, band_levels* out);

// The velocity RMS in mm/s in [low, high] Hz of a density `scale` times
// `power` (bins from 0 Hz, `bin_hz` apart) in g^2/Hz.
double band_velocity_rms_mm_s(const double* power, std::size_t bins, double bin_hz, double scale,
                              double band_low_hz, double band_high_hz);

// The velocity amplitude in mm/s of an acceleration amplitude in g at `hz` > 0.
double velocity_mm_s_of(double amplitude_g, double hz);

#endif
