#include "envelope.h"

#include <algorithm>

void merge_slots(envelope_bucket* a, const envelope_bucket& b) {
    a->last_s = b.last_s;
    a->min = std::min(a->min, b.min);
    a->max = std::max(a->max, b.max);
    a->rows += b.rows;
}

void envelope_init(envelope* env) {
    env->buckets.count = 0;
    env->rows_per_bucket = 1;
}

void envelope_add(envelope* env, double time_s, double value) {
    pair_merge_buffer<envelope_bucket, envelope_capacity>& buckets = env->buckets;
    if (buckets.count > 0) {
        envelope_bucket& last = buckets.slots[buckets.count - 1];
        if (last.rows < env->rows_per_bucket) {
            merge_slots(&last, envelope_bucket{last.index, time_s, time_s, value, value, 1});
            return;
        }
    }
    if (pair_merge_full(buckets)) {
        pair_merge_halve(&buckets);
        env->rows_per_bucket *= 2;
    }
    // Every bucket but the last is full: a bucket's index is its place.
    const std::uint64_t index = buckets.count;
    *pair_merge_push(&buckets) = envelope_bucket{index, time_s, time_s, value, value, 1};
}
