// The amplitude spectrum of a stream of samples by Welch's method: Hann
// segments with half overlap, each with its own mean removed, power averaged
// over segments as the samples arrive, so memory stays that of one segment.
//
// Scaled so that a sine of amplitude A shows a peak of A; beside it the
// power spectral density, one-sided, in units squared per hertz.
#ifndef ACC_INSPECT_SPECTRUM_H
#define ACC_INSPECT_SPECTRUM_H

#include <cstddef>
#include <cstdint>

constexpr std::size_t default_segment_size = 8192;

struct welch_state {
    std::size_t size;    // points per segment
    std::size_t step;    // size / 2
    std::size_t filled;  // samples waiting in `segment`
    double* window;
    double* segment;
    double* work;           // the windowed segment handed to the transform
    void* spectrum;         // fftw_complex[size / 2 + 1]
    void* plan;             // fftw_plan
    double* power_sum;      // size / 2 + 1
    double* segment_power;  // size / 2 + 1: of the segment welch_add just completed
    std::uint64_t segments;
};

// `size` even and at least 16. Returns 0, ENOMEM, or EINVAL for a size the
// transform library refuses.
int welch_init(welch_state* state, std::size_t size);

// Returns true when the sample completed a segment, whose power is then in
// `segment_power` (|X|^2 of the windowed transform).
bool welch_add(welch_state* state, double sample);

// Converts `segment_power` to the one-sided density of a bin between 0 Hz
// and Nyquist: twice over the rate times the window's sum of squares.
double welch_density_scale(const welch_state& state, double rate_hz);

// The samples are not evenly spaced across a gap: the next segment starts
// after it.
void welch_break(welch_state* state);

struct amplitude_spectrum {
    double* amplitude;  // bins entries, owned by the caller of welch_finish
    double* psd;        // bins entries, units^2 / Hz, in the same allocation
    std::size_t bins;   // segment_size / 2 + 1; bin 0 is the mean, 0 after removal
    double bin_hz;
    std::size_t segment_size;
    std::uint64_t segments;
};

// The averaged spectrum. With too few samples for one full segment it uses
// the samples waiting since the last break as one shorter segment (at least
// 16). Returns 0, ENODATA when there is nothing to analyse, or ENOMEM.
// Free with spectrum_free.
int welch_finish(welch_state* state, double rate_hz, amplitude_spectrum* out);

void welch_free(welch_state* state);
void spectrum_free(amplitude_spectrum* spectrum);

struct spectral_peak {
    double frequency_hz;  // refined between bins
    double amplitude;     // corrected for where between bins the tone lies
    std::size_t bin;
};

// The strongest local maxima of at least `min_amplitude`, strongest first.
// Bins 0 and 1 lie in the window's main lobe around 0 Hz and are left out.
// With a Hann window the two largest bins of a pure tone fix its frequency
// and amplitude exactly, which is how each peak is refined. Returns the
// count.
std::size_t find_peaks(const amplitude_spectrum& spectrum, double min_amplitude,
                       spectral_peak* peaks, std::size_t max_peaks);

// The median amplitude of bins 1..last: a level the peaks stand above.
double noise_floor(const amplitude_spectrum& spectrum);

#endif
