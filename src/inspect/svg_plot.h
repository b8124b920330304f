// The picture of a recording: acceleration against time as a min/max
// envelope, and the amplitude spectrum with its peaks.
#ifndef ACC_INSPECT_SVG_PLOT_H
#define ACC_INSPECT_SVG_PLOT_H

#include "inspect_stats.h"
#include "spectrum.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The envelope is built before the row count is known: it holds up to
// envelope_capacity buckets of equal row counts, and when full merges
// neighbours in pairs and doubles the rows per bucket. Whatever the length
// it ends with between half and all of the capacity in use, at least as
// many buckets as the plot has pixel columns.
constexpr std::size_t envelope_capacity = 2048;

struct envelope_bucket {
    double first_s;
    double last_s;
    double min;
    double max;
    std::uint64_t rows;
};

struct envelope {
    envelope_bucket buckets[envelope_capacity];
    std::size_t count;
    std::uint64_t rows_per_bucket;
};

void envelope_init(envelope* env);
void envelope_add(envelope* env, double time_s, double value);

struct plot_input {
    const char* title;  // shown escaped
    const inspect_stats* stats;
    const envelope* env;
    const amplitude_spectrum* spectrum;  // nullptr or bins == 0: no spectrum panel content
    const spectral_peak* peaks;
    std::size_t peak_count;
};

// Writes the SVG document to the stream. Returns 0 or the errno value of a
// failed write; the caller flushes and closes the stream.
int write_svg(std::FILE* f, const plot_input& input);

// Copies `text` into `out` with &, <, >, " and ' as entities and bytes that
// XML does not allow dropped; always terminates `out`.
void xml_escape(const char* text, char* out, std::size_t out_size);

#endif
