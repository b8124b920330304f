#include "moments.h"

#include <algorithm>
#include <cmath>

namespace {

// Neumaier's compensated sum.
void add_compensated(double* sum, double* carry, double value) {
    double total = *sum + value;
    if (std::fabs(*sum) >= std::fabs(value))
        *carry += (*sum - total) + value;
    else
        *carry += (value - total) + *sum;
    *sum = total;
}

}  // namespace

void moments_add(moments* m, double value) {
    if (m->count == 0) {
        m->min = value;
        m->max = value;
        m->shift = value;
    } else {
        m->min = std::min(m->min, value);
        m->max = std::max(m->max, value);
    }
    ++m->count;
    add_compensated(&m->sum, &m->sum_carry, value);
    add_compensated(&m->sum_sq, &m->sum_sq_carry, value * value);
    const double d = value - m->shift;
    const double d2 = d * d;
    m->s1 += d;
    m->s2 += d2;
    m->s3 += d2 * d;
    m->s4 += d2 * d2;
}

double moments_mean(const moments& m) {
    if (m.count == 0) return 0.0;
    return (m.sum + m.sum_carry) / static_cast<double>(m.count);
}

double moments_rms(const moments& m) {
    if (m.count == 0) return 0.0;
    return std::sqrt((m.sum_sq + m.sum_sq_carry) / static_cast<double>(m.count));
}

double moments_ac_rms(const moments& m) {
    if (m.count == 0) return 0.0;
    double mean = moments_mean(m);
    double mean_sq = (m.sum_sq + m.sum_sq_carry) / static_cast<double>(m.count);
    double variance = mean_sq - mean * mean;
    return std::sqrt(std::max(0.0, variance));  // rounding can leave it just below zero
}
