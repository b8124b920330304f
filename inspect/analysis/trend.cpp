#include "trend.h"

#include "band_levels.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

void set_figures(trend_interval* t) {
    t->rms_g = std::sqrt(t->m2 / static_cast<double>(t->rows));  // never empty: see callers
    t->peak_g = std::max(t->mean_g - t->min_g, t->max_g - t->mean_g);
    t->kurtosis = t->m2 > 0.0 ? static_cast<double>(t->rows) * t->m4 / (t->m2 * t->m2)
                              : std::numeric_limits<double>::quiet_NaN();
}

void double_interval(trend_state* trend) {
    trend->interval_s *= 2.0;
    pair_merge_halve(&trend->intervals);
    trend->open.index /= 2;
}

void close_open(trend_state* trend) {
    trend_interval& t = trend->open;
    const moments& m = trend->open_moments;
    if (m.count == 0) return;
    t.rows = m.count;
    t.min_g = m.min;
    t.max_g = m.max;
    const double n = static_cast<double>(m.count);
    const double mu = m.s1 / n;
    t.mean_g = m.shift + mu;
    t.m2 = m.s2 - n * mu * mu;
    t.m2 = std::max(t.m2, 0.0);  // rounding can leave it just below zero
    t.m3 = m.s3 - 3.0 * mu * m.s2 + 2.0 * n * mu * mu * mu;
    t.m4 = m.s4 - 4.0 * mu * m.s3 + 6.0 * mu * mu * m.s2 - 3.0 * n * mu * mu * mu * mu;
    t.dominant_hz = std::numeric_limits<double>::quiet_NaN();
    t.dominant_amplitude_g = 0.0;
    t.segments = trend->open_segments;
    t.velocity_rms_mm_s = std::numeric_limits<double>::quiet_NaN();
    if (trend->open_segments > 0 && trend->density_scale > 0.0)
        t.velocity_rms_mm_s =
            band_velocity_rms_mm_s(trend->open_power, trend->bins, trend->bin_hz,
                                   trend->density_scale / static_cast<double>(trend->open_segments),
                                   trend->band_low_hz, trend->band_high_hz);
    if (trend->open_segments > 0) {
        // The refinement only needs amplitudes in proportion.
        double* a = trend->open_power;
        for (std::size_t k = 0; k < trend->bins; ++k) a[k] = std::sqrt(a[k]);
        amplitude_spectrum view{};
        view.amplitude = a;
        view.bins = trend->bins;
        view.bin_hz = trend->bin_hz;
        spectral_peak peak;
        if (find_peaks(view, 0.0, &peak, 1) == 1) {
            t.dominant_hz = peak.frequency_hz;
            t.dominant_amplitude_g = peak.amplitude;
        }
    }
    set_figures(&t);
    pair_merge_buffer<trend_interval, trend_capacity>& intervals = trend->intervals;
    if (intervals.count > 0 && intervals.slots[intervals.count - 1].index == t.index)
        merge_slots(&intervals.slots[intervals.count - 1], t);
    else
        *pair_merge_push(&intervals) = t;
    if (pair_merge_full(intervals)) double_interval(trend);
}

// The interval a row at `time_s` is in; an overlap stays in the open one.
std::uint64_t interval_index(const trend_state* trend, double time_s) {
    // A row printed on a boundary belongs to the interval it starts, whatever
    // the last bit of the division.
    constexpr double boundary = 1e-9;
    const double offset = (time_s - trend->origin_s) / trend->interval_s + boundary;
    return std::max(static_cast<std::uint64_t>(std::max(offset, 0.0)), trend->open.index);
}

void open_interval(trend_state* trend, std::uint64_t index) {
    trend->open = trend_interval{};
    trend->open.index = index;
    trend->open_moments = moments{};
    trend->open_segments = 0;  // open_power is set by the first segment
}

}  // namespace

void merge_slots(trend_interval* a, const trend_interval& b) {
    const double n = static_cast<double>(a->rows + b.rows);
    const double delta = b.mean_g - a->mean_g;
    const double na = static_cast<double>(a->rows);
    const double nb = static_cast<double>(b.rows);
    // The higher sums first: they take the lower ones before the merge.
    a->m4 += b.m4 +
             delta * delta * delta * delta * na * nb * (na * na - na * nb + nb * nb) / (n * n * n) +
             6.0 * delta * delta * (na * na * b.m2 + nb * nb * a->m2) / (n * n) +
             4.0 * delta * (na * b.m3 - nb * a->m3) / n;
    a->m3 += b.m3 + delta * delta * delta * na * nb * (na - nb) / (n * n) +
             3.0 * delta * (na * b.m2 - nb * a->m2) / n;
    a->m2 += b.m2 + delta * delta * static_cast<double>(a->rows) * static_cast<double>(b.rows) / n;
    a->mean_g += delta * static_cast<double>(b.rows) / n;
    a->rows += b.rows;
    a->last_s = b.last_s;
    a->min_g = std::min(a->min_g, b.min_g);
    a->max_g = std::max(a->max_g, b.max_g);
    // Mean squares weighted by their segments.
    const double segments = static_cast<double>(a->segments + b.segments);
    if (std::isnan(a->velocity_rms_mm_s)) {
        a->velocity_rms_mm_s = b.velocity_rms_mm_s;
    } else if (!std::isnan(b.velocity_rms_mm_s)) {
        const double va = a->velocity_rms_mm_s;
        const double vb = b.velocity_rms_mm_s;
        a->velocity_rms_mm_s = std::sqrt((va * va * static_cast<double>(a->segments) +
                                          vb * vb * static_cast<double>(b.segments)) /
                                         segments);
    }
    a->segments += b.segments;
    if (std::isnan(a->dominant_hz) ||
        (!std::isnan(b.dominant_hz) && b.dominant_amplitude_g > a->dominant_amplitude_g)) {
        a->dominant_hz = b.dominant_hz;
        a->dominant_amplitude_g = b.dominant_amplitude_g;
    }
    set_figures(a);
}

int trend_init(trend_state* trend, double interval_s, std::size_t bins, double bin_hz) {
    trend->origin_s = 0.0;
    trend->interval_s = interval_s;
    trend->started = false;
    trend->intervals.count = 0;
    trend->bins = bins;
    trend->bin_hz = bin_hz;
    trend->band_low_hz = trend->band_high_hz = trend->density_scale = 0.0;
    trend->open_power = nullptr;
    if (bins > 0) {
        trend->open_power = static_cast<double*>(std::malloc(bins * sizeof(double)));
        if (!trend->open_power) return ENOMEM;
    }
    open_interval(trend, 0);
    return 0;
}

void trend_set_band(trend_state* trend, double low_hz, double high_hz, double density_scale) {
    trend->band_low_hz = low_hz;
    trend->band_high_hz = high_hz;
    trend->density_scale = density_scale;
}

void trend_add(trend_state* trend, double time_s, double value_g) {
    if (!trend->started) {
        trend->started = true;
        trend->origin_s = time_s;
    }
    if (interval_index(trend, time_s) != trend->open.index) {
        close_open(trend);  // which may double the interval
        open_interval(trend, interval_index(trend, time_s));
    }
    if (trend->open_moments.count == 0) trend->open.first_s = time_s;
    trend->open.last_s = time_s;
    moments_add(&trend->open_moments, value_g);
}

void trend_add_segment(trend_state* trend, const double* power) {
    if (trend->open_segments == 0)
        std::memcpy(trend->open_power, power, trend->bins * sizeof(double));
    else
        for (std::size_t k = 0; k < trend->bins; ++k) trend->open_power[k] += power[k];
    ++trend->open_segments;
}

void trend_finish(trend_state* trend) {
    close_open(trend);
    trend->open = trend_interval{};
    trend->open_moments = moments{};
    trend->lowest_rms = trend->highest_rms = trend->highest_peak = 0;
    trend->dominant_low_hz = trend->dominant_high_hz = std::numeric_limits<double>::quiet_NaN();
    const trend_interval* all = trend->intervals.slots;
    for (std::size_t i = 0; i < trend->intervals.count; ++i) {
        const trend_interval& v = all[i];
        if (v.rms_g < all[trend->lowest_rms].rms_g) trend->lowest_rms = i;
        if (v.rms_g > all[trend->highest_rms].rms_g) trend->highest_rms = i;
        if (v.peak_g > all[trend->highest_peak].peak_g) trend->highest_peak = i;
        if (std::isnan(v.dominant_hz)) continue;
        trend->dominant_low_hz = std::fmin(trend->dominant_low_hz, v.dominant_hz);  // NaN: none yet
        trend->dominant_high_hz = std::fmax(trend->dominant_high_hz, v.dominant_hz);
    }
}

void trend_free(trend_state* trend) {
    std::free(trend->open_power);
    trend->open_power = nullptr;
}
