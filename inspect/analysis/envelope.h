// The picture's acceleration trace: min and max per bucket of rows, kept in
// a fixed number of buckets whatever the length.
#ifndef ACC_INSPECT_ENVELOPE_H
#define ACC_INSPECT_ENVELOPE_H

#include <cstddef>
#include <cstdint>

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

#endif
