#include "band_levels.h"

#include "data_format.h"

#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

// The rounded centres band tables print for one decade.
constexpr double nominal_decade[10] = {1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0};

}  // namespace

double band_velocity_rms_mm_s(const double* power, std::size_t bins, double bin_hz, double scale,
                              double band_low_hz, double band_high_hz) {
    const double g2 = standard_gravity * standard_gravity;
    double velocity = 0.0;  // (m/s)^2
    for (std::size_t k = 1; k < bins; ++k) {
        const double f = static_cast<double>(k) * bin_hz;
        if (f < band_low_hz || f > band_high_hz) continue;
        const double w2 = (2.0 * pi * f) * (2.0 * pi * f);
        velocity += power[k] * scale * bin_hz * g2 / w2;
    }
    return std::sqrt(velocity) * 1e3;
}

double velocity_mm_s_of(double amplitude_g, double hz) {
    return amplitude_g * standard_gravity / (2.0 * pi * hz) * 1e3;
}

void compute_band_levels(const amplitude_spectrum& s, double band_low_hz, double band_high_hz,
                         band_levels* out) {
    *out = band_levels{};
    const double df = s.bin_hz;
    const double nyquist = static_cast<double>(s.bins - 1) * df;
    // Nothing lies above Nyquist: the band is labelled as far as it reaches.
    out->band_low_hz = band_low_hz;
    out->band_high_hz = band_high_hz > nyquist && band_low_hz < nyquist ? nyquist : band_high_hz;
    const double g2 = standard_gravity * standard_gravity;
    double total = 0.0;
    double band = 0.0;
    double displacement = 0.0;  // m^2
    for (std::size_t k = 1; k < s.bins; ++k) {
        const double f = static_cast<double>(k) * df;
        const double power = s.psd[k] * df;
        total += power;
        if (f < band_low_hz || f > band_high_hz) continue;
        ++out->band_bins;
        band += power;
        const double w2 = (2.0 * pi * f) * (2.0 * pi * f);
        displacement += power * g2 / (w2 * w2);
    }
    out->grms_g = std::sqrt(total);
    out->band_rms_g = std::sqrt(band);
    out->velocity_rms_mm_s =
        band_velocity_rms_mm_s(s.psd, s.bins, df, 1.0, band_low_hz, band_high_hz);
    out->displacement_rms_um = std::sqrt(displacement) * 1e6;

    const double half_band = std::pow(10.0, 0.05);
    for (int n = 1; out->octave_count < max_octave_bands; ++n) {
        const double centre = std::pow(10.0, n / 10.0);
        if (centre * half_band > nyquist) break;
        octave_band& b = out->octave[out->octave_count++];
        b.nominal_hz = nominal_decade[n % 10] * std::pow(10.0, n / 10);
        b.low_hz = centre / half_band;
        b.high_hz = centre * half_band;
        double sum = 0.0;
        // Never bin 0: the lowest band starts above 1 Hz.
        const std::size_t first = static_cast<std::size_t>(std::ceil(b.low_hz / df));
        for (std::size_t k = first; k < s.bins; ++k) {
            if (static_cast<double>(k) * df >= b.high_hz) break;
            if (static_cast<double>(k) * df < b.low_hz) continue;
            sum += s.psd[k] * df;
            ++b.bins;
        }
        b.rms_g = std::sqrt(sum);
    }
}
