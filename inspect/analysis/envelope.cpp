#include "envelope.h"

#include <algorithm>

void envelope_init(envelope* env) {
    env->count = 0;
    env->rows_per_bucket = 1;
}

void envelope_add(envelope* env, double time_s, double value) {
    if (env->count > 0) {
        envelope_bucket& last = env->buckets[env->count - 1];
        if (last.rows < env->rows_per_bucket) {
            last.min = std::min(last.min, value);
            last.max = std::max(last.max, value);
            last.last_s = time_s;
            ++last.rows;
            return;
        }
    }
    if (env->count == envelope_capacity) {
        for (std::size_t i = 0; i < envelope_capacity / 2; ++i) {
            const envelope_bucket& a = env->buckets[2 * i];
            const envelope_bucket& b = env->buckets[2 * i + 1];
            env->buckets[i] = envelope_bucket{a.first_s, b.last_s, std::min(a.min, b.min),
                                              std::max(a.max, b.max), a.rows + b.rows};
        }
        env->count = envelope_capacity / 2;
        env->rows_per_bucket *= 2;
    }
    env->buckets[env->count++] = envelope_bucket{time_s, time_s, value, value, 1};
}
