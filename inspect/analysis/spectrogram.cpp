#include "spectrogram.h"

#include <algorithm>
#include <cmath>

void spectrogram_init(spectrogram* s, std::size_t bins, double bin_hz, double density_scale) {
    s->columns.count = 0;
    s->segments_per_column = 1;
    s->density_scale = density_scale;
    s->low_hz = 2.0 * bin_hz;
    s->high_hz = static_cast<double>(bins - 1) * bin_hz;
    const double ratio = std::pow(s->high_hz / s->low_hz, 1.0 / spectrogram_rows);
    for (std::size_t r = 0; r < spectrogram_rows; ++r) {
        const double from = s->low_hz * std::pow(ratio, static_cast<double>(r)) / bin_hz;
        const double to = from * ratio;
        std::size_t first = static_cast<std::size_t>(std::ceil(from - 1e-9));
        std::size_t end = static_cast<std::size_t>(std::ceil(to - 1e-9));
        if (r + 1 == spectrogram_rows) end = bins;
        if (end <= first) {  // no bin inside: the nearest one
            first = static_cast<std::size_t>(std::lround(0.5 * (from + to)));
            end = first + 1;
        }
        end = std::min(end, bins);
        if (first >= end) first = end - 1;
        s->row_first_bin[r] = static_cast<std::uint32_t>(first);
        s->row_bins[r] = static_cast<std::uint32_t>(end - first);
    }
}

void merge_slots(spectrogram_column* a, const spectrogram_column& b) {
    for (std::size_t r = 0; r < spectrogram_rows; ++r) a->power[r] += b.power[r];
    a->last_s = b.last_s;
    a->segments += b.segments;
}

void spectrogram_add(spectrogram* s, const double* power, double first_s, double last_s) {
    pair_merge_buffer<spectrogram_column, spectrogram_columns>& columns = s->columns;
    if (columns.count > 0) {
        spectrogram_column& last = columns.slots[columns.count - 1];
        if (last.segments < s->segments_per_column) {
            for (std::size_t r = 0; r < spectrogram_rows; ++r) {
                double sum = 0.0;
                for (std::uint32_t k = 0; k < s->row_bins[r]; ++k)
                    sum += power[s->row_first_bin[r] + k];
                last.power[r] += static_cast<float>(sum / s->row_bins[r]);
            }
            last.last_s = last_s;
            ++last.segments;
            return;
        }
    }
    if (pair_merge_full(columns)) {
        pair_merge_halve(&columns);
        s->segments_per_column *= 2;
    }
    // Every column but the last is full: a column's index is its place.
    spectrogram_column& c = *pair_merge_push(&columns);
    c.index = columns.count - 1;
    c.first_s = first_s;
    c.last_s = first_s;
    c.segments = 0;
    for (std::size_t r = 0; r < spectrogram_rows; ++r) c.power[r] = 0.0f;
    spectrogram_add(s, power, first_s, last_s);
}

double spectrogram_density(const spectrogram& s, const spectrogram_column& c, std::size_t row) {
    if (c.segments == 0) return 0.0;
    return static_cast<double>(c.power[row]) / c.segments * s.density_scale;
}
