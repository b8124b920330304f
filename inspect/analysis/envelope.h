// The picture's acceleration trace: min and max per bucket of rows, kept in
// a fixed number of buckets whatever the length.
#ifndef ACC_INSPECT_ENVELOPE_H
#define ACC_INSPECT_ENVELOPE_H

#include "pair_merge.h"

#include <cstddef>
#include <cstdint>

// The envelope is built before the row count is known: it holds up to
// envelope_capacity buckets of equal row counts, and when full merges
// neighbours in pairs and doubles the rows per bucket. Whatever the length
// it ends with between half and all of the capacity in use, at least as
// many buckets as the plot has pixel columns.
constexpr std::size_t envelope_capacity = 2048;

struct envelope_bucket {
    std::uint64_t index;  // rows from the first: index * rows_per_bucket
    double first_s;
    double last_s;
    double min;
    double max;
    std::uint64_t rows;
};

void merge_slots(envelope_bucket* a, const envelope_bucket& b);

struct envelope {
    pair_merge_buffer<envelope_bucket, envelope_capacity> buckets;
    std::uint64_t rows_per_bucket;
};

void envelope_init(envelope* env);
void envelope_add(envelope* env, double time_s, double value);

#endif
