#include "level_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double departure(const moments& c) {
    const double mean = moments_mean(c);
    return std::max(mean - c.min, c.max - mean);
}

}  // namespace

level_figures level_figures_of(const inspect_stats& stats) {
    const moments& m = stats.accel_g;
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
