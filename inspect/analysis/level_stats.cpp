#include "level_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

void moments_add(level_moments* m, double value) {
    if (m->count == 0) m->shift = value;
    ++m->count;
    const double d = value - m->shift;
    const double d2 = d * d;
    m->s1 += d;
    m->s2 += d2;
    m->s3 += d2 * d;
    m->s4 += d2 * d2;
}

namespace {

double departure(const column_stats& c) {
    const double mean = column_mean(c);
    return std::max(mean - c.min, c.max - mean);
}

}  // namespace

level_figures level_figures_of(const level_moments& m, const inspect_stats& stats) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    level_figures f{nan, nan, nan, nan, nan};
    if (stats.accel_g.count > 0) f.largest_departure_g = departure(stats.accel_g);
    if (stats.accel_ms2.count > 0) f.largest_departure_ms2 = departure(stats.accel_ms2);
    if (m.count == 0) return f;
    const double n = static_cast<double>(m.count);
    const double mu = m.s1 / n;
    const double e2 = m.s2 / n;
    const double e3 = m.s3 / n;
    const double e4 = m.s4 / n;
    const double m2 = e2 - mu * mu;
    const double m3 = e3 - 3.0 * mu * e2 + 2.0 * mu * mu * mu;
    const double m4 = e4 - 4.0 * mu * e3 + 6.0 * mu * mu * e2 - 3.0 * mu * mu * mu * mu;
    if (!(m2 > 0.0)) return f;
    f.crest_factor = f.largest_departure_g / std::sqrt(m2);
    f.kurtosis = m4 / (m2 * m2);
    f.skewness = m3 / (m2 * std::sqrt(m2));
    return f;
}
