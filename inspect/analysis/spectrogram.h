// The spectrum over time for the picture: the density of every spectrum
// segment, summed into frequency rows spaced evenly on a log scale, and into
// time columns. Constant memory: when the columns are full, neighbours merge
// in pairs and each column takes twice the segments, as the envelope does.
#ifndef ACC_INSPECT_SPECTROGRAM_H
#define ACC_INSPECT_SPECTROGRAM_H

#include "pair_merge.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t spectrogram_columns = 512;
constexpr std::size_t spectrogram_rows = 128;

struct spectrogram_column {
    std::uint64_t index;  // segments from the first: index * segments_per_column
    double first_s;       // start of its first segment
    double last_s;        // end of its last segment
    std::uint32_t segments;
    float power[spectrogram_rows];  // sum over its segments of the rows' mean bin power
};

struct spectrogram {
    double low_hz;  // rows from low to high, row r from low * ratio^r
    double high_hz;
    double density_scale;  // mean segment power to g^2/Hz
    std::uint32_t row_first_bin[spectrogram_rows];
    std::uint32_t row_bins[spectrogram_rows];  // at least 1: narrow rows repeat a bin
    pair_merge_buffer<spectrogram_column, spectrogram_columns> columns;
    std::uint32_t segments_per_column;
};

void merge_slots(spectrogram_column* a, const spectrogram_column& b);

// `bins` and `bin_hz` of the segments; rows from two bins up to Nyquist.
void spectrogram_init(spectrogram* s, std::size_t bins, double bin_hz, double density_scale);
void spectrogram_add(spectrogram* s, const double* power, double first_s, double last_s);

// The density in g^2/Hz of a cell.
double spectrogram_density(const spectrogram& s, const spectrogram_column& c, std::size_t row);

#endif
