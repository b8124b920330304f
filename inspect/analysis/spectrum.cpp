#include "spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr std::size_t min_segment_size = 16;

// Periodic Hann: the form whose bins the peak refinement assumes.
void fill_hann(double* window, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        window[i] =
            0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(i) / static_cast<double>(size));
}

// The power of one segment, mean removed and windowed, into `power`.
void segment_power_of(const double* samples, const double* window, std::size_t size, double* work,
                      fftw_complex* spectrum, fftw_plan plan, double* power) {
    double mean = 0.0;
    for (std::size_t i = 0; i < size; ++i) mean += samples[i];
    mean /= static_cast<double>(size);
    for (std::size_t i = 0; i < size; ++i) work[i] = (samples[i] - mean) * window[i];
    fftw_execute_dft_r2c(plan, work, spectrum);
    const std::size_t bins = size / 2 + 1;
    for (std::size_t k = 0; k < bins; ++k)
        power[k] = spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1];
}

bool single_sided_edge(std::size_t k, std::size_t size) {
    return k == 0 || (size % 2 == 0 && k == size / 2);
}

// Averaged power to amplitude and density. One-sided: every bin but DC and
// Nyquist also stands for its negative frequency, hence twice its power.
void power_to_spectrum(const double* power_sum, std::size_t size, std::uint64_t segments,
                       const double* window, double rate_hz, double* amplitude, double* psd) {
    double sum = 0.0;
    double sum_sq = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        sum += window[i];
        sum_sq += window[i] * window[i];
    }
    const std::size_t bins = size / 2 + 1;
    for (std::size_t k = 0; k < bins; ++k) {
        const double fold = single_sided_edge(k, size) ? 1.0 : 2.0;
        const double power = power_sum[k] / static_cast<double>(segments);
        amplitude[k] = fold * std::sqrt(power) / sum;
        psd[k] = fold * power / (rate_hz * sum_sq);
    }
}

// The Hann window's response to a tone `delta` bins away, 1 at 0.
double hann_response(double delta) {
    if (std::fabs(delta) < 1e-12) return 1.0;
    double x = pi * delta;
    return std::sin(x) / x / (1.0 - delta * delta);
}

// The short spectrum of fewer samples than one segment: one segment of
// their own (an even count of at least the smallest segment).
int short_spectrum(const double* samples, std::size_t size, double rate_hz, double* amplitude,
                   double* psd) {
    welch_state one;
    const int result = welch_init(&one, size);
    if (result == 0) {
        segment_power_of(samples, one.window, size, one.work,
                         static_cast<fftw_complex*>(one.spectrum), static_cast<fftw_plan>(one.plan),
                         one.segment_power);
        power_to_spectrum(one.segment_power, size, 1, one.window, rate_hz, amplitude, psd);
    }
    welch_free(&one);
    return result;
}

}  // namespace

int welch_init(welch_state* state, std::size_t size) {
    *state = welch_state{};
    if (size < min_segment_size || size % 2 != 0) return EINVAL;
    const std::size_t bins = size / 2 + 1;
    state->size = size;
    state->step = size / 2;
    state->window = fftw_alloc_real(size);
    state->segment = fftw_alloc_real(size);
    state->work = fftw_alloc_real(size);
    fftw_complex* spectrum = fftw_alloc_complex(bins);
    state->spectrum = spectrum;
    state->power_sum = static_cast<double*>(std::calloc(bins, sizeof(double)));
    state->segment_power = static_cast<double*>(std::calloc(bins, sizeof(double)));
    if (!state->window || !state->segment || !state->work || !spectrum || !state->power_sum ||
        !state->segment_power) {
        welch_free(state);
        return ENOMEM;
    }
    fftw_plan plan =
        fftw_plan_dft_r2c_1d(static_cast<int>(size), state->work, spectrum, FFTW_ESTIMATE);
    if (!plan) {
        welch_free(state);
        return EINVAL;
    }
    state->plan = plan;
    fill_hann(state->window, size);
    return 0;
}

bool welch_add(welch_state* state, double sample) {
    state->segment[state->filled++] = sample;
    if (state->filled < state->size) return false;
    segment_power_of(state->segment, state->window, state->size, state->work,
                     static_cast<fftw_complex*>(state->spectrum),
                     static_cast<fftw_plan>(state->plan), state->segment_power);
    const std::size_t bins = state->size / 2 + 1;
    for (std::size_t k = 0; k < bins; ++k) state->power_sum[k] += state->segment_power[k];
    ++state->segments;
    std::memmove(state->segment, state->segment + state->step,
                 (state->size - state->step) * sizeof(double));
    state->filled = state->size - state->step;
    return true;
}

double welch_density_scale(const welch_state& state, double rate_hz) {
    double sum_sq = 0.0;
    for (std::size_t i = 0; i < state.size; ++i) sum_sq += state.window[i] * state.window[i];
    return 2.0 / (rate_hz * sum_sq);
}

void welch_break(welch_state* state) { state->filled = 0; }

int welch_finish(welch_state* state, double rate_hz, amplitude_spectrum* out) {
    *out = amplitude_spectrum{};
    std::size_t size = state->size;
    if (state->segments == 0) {
        size = state->filled - state->filled % 2;
        if (size < min_segment_size) return ENODATA;
    }
    const std::size_t bins = size / 2 + 1;
    double* amplitude = static_cast<double*>(std::malloc(2 * bins * sizeof(double)));
    if (!amplitude) return ENOMEM;
    double* psd = amplitude + bins;
    if (state->segments > 0) {
        power_to_spectrum(state->power_sum, size, state->segments, state->window, rate_hz,
                          amplitude, psd);
    } else {
        int error = short_spectrum(state->segment, size, rate_hz, amplitude, psd);
        if (error != 0) {
            std::free(amplitude);
            return error;
        }
    }
    out->amplitude = amplitude;
    out->psd = psd;
    out->bins = bins;
    out->bin_hz = rate_hz / static_cast<double>(size);
    out->segment_size = size;
    out->segments = std::max<std::uint64_t>(state->segments, 1);  // a short recording is one
    return 0;
}

void welch_free(welch_state* state) {
    if (state->plan) fftw_destroy_plan(static_cast<fftw_plan>(state->plan));
    fftw_free(state->spectrum);
    fftw_free(state->work);
    fftw_free(state->segment);
    fftw_free(state->window);
    std::free(state->segment_power);
    std::free(state->power_sum);
    *state = welch_state{};
}

void spectrum_free(amplitude_spectrum* spectrum) {
    std::free(spectrum->amplitude);
    *spectrum = amplitude_spectrum{};
}

std::size_t find_peaks(const amplitude_spectrum& spectrum, double min_amplitude,
                       spectral_peak* peaks, std::size_t max_peaks) {
    const double* a = spectrum.amplitude;
    const std::size_t bins = spectrum.bins;
    std::size_t count = 0;
    for (std::size_t k = 2; k < bins && max_peaks > 0; ++k) {
        if (a[k] < min_amplitude) continue;
        bool rises = a[k] > a[k - 1];
        bool falls = k + 1 == bins || a[k] >= a[k + 1];
        if (!rises || !falls) continue;
        if (count == max_peaks && a[k] <= peaks[count - 1].amplitude) continue;
        std::size_t at = count < max_peaks ? count++ : count - 1;
        while (at > 0 && peaks[at - 1].amplitude < a[k]) {
            peaks[at] = peaks[at - 1];
            --at;
        }
        peaks[at] = spectral_peak{0.0, a[k], k};
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = peaks[i].bin;
        const double right = k + 1 < bins ? a[k + 1] : 0.0;
        const double left = a[k - 1];
        double delta = 0.0;
        if (a[k] > 0.0) {
            double alpha = std::max(left, right) / a[k];
            delta = (2.0 * alpha - 1.0) / (1.0 + alpha);
            delta = std::clamp(delta, 0.0, 0.5);
            if (right < left) delta = -delta;
        }
        peaks[i].frequency_hz = (static_cast<double>(k) + delta) * spectrum.bin_hz;
        peaks[i].amplitude = a[k] / hann_response(delta);
    }
    return count;
}

double noise_floor(const amplitude_spectrum& spectrum) {
    if (spectrum.bins < 2) return 0.0;
    const std::size_t n = spectrum.bins - 1;
    double* copy = static_cast<double*>(std::malloc(n * sizeof(double)));
    if (!copy) return 0.0;
    std::memcpy(copy, spectrum.amplitude + 1, n * sizeof(double));
    std::nth_element(copy, copy + n / 2, copy + n);
    double median = copy[n / 2];
    std::free(copy);
    return median;
}
