#include "inspect_stats.h"

#include "data_format.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Half a unit of the sixth decimal.
constexpr double half_unit = 0.5e-6;

bool values_agree(double written, double recomputed, double allowed) {
    if (std::isnan(written) || std::isnan(recomputed))
        return std::isnan(written) && std::isnan(recomputed);
    if (std::isinf(written) || std::isinf(recomputed)) return written == recomputed;
    // A few ulps of slack so that large values, which carry fewer decimals
    // in a double, are not called wrong by the comparison itself.
    double slack = 1e-12 + 8 * std::numeric_limits<double>::epsilon() * std::fabs(recomputed);
    return std::fabs(written - recomputed) <= allowed + slack;
}

}  // namespace

void stats_init(inspect_stats* stats, double rate_hz, double sensitivity_v_per_g,
                double threshold_s) {
    *stats = inspect_stats{};
    stats->step_s = 1.0 / rate_hz;
    stats->threshold_s = threshold_s;
    stats->sensitivity_v_per_g = sensitivity_v_per_g;
}

bool row_consistent(const csv_row& row, double sensitivity_v_per_g) {
    double g = accel_g_of(row.volt, sensitivity_v_per_g);
    double ms2 = accel_ms2_of(g);
    double g_allowed = half_unit / sensitivity_v_per_g + half_unit;
    double ms2_allowed = accel_ms2_of(half_unit / sensitivity_v_per_g) + half_unit;
    return values_agree(row.accel_g, g, g_allowed) && values_agree(row.accel_ms2, ms2, ms2_allowed);
}

step_kind stats_add(inspect_stats* stats, const csv_row& row, std::uint64_t line) {
    ++stats->rows;
    const bool finite = std::isfinite(row.time_s) && std::isfinite(row.volt) &&
                        std::isfinite(row.accel_g) && std::isfinite(row.accel_ms2);
    if (!finite) ++stats->nonfinite_rows;
    if (std::isfinite(row.volt)) moments_add(&stats->volt, row.volt);
    if (std::isfinite(row.accel_g)) moments_add(&stats->accel_g, row.accel_g);
    if (std::isfinite(row.accel_ms2)) moments_add(&stats->accel_ms2, row.accel_ms2);

    if (!row_consistent(row, stats->sensitivity_v_per_g)) {
        if (stats->mismatched_rows == 0) stats->first_mismatch_line = line;
        ++stats->mismatched_rows;
    }
    if (std::isfinite(row.volt) && std::isfinite(row.accel_g)) {
        stats->sum_volt_g += row.volt * row.accel_g;
        stats->sum_g_g += row.accel_g * row.accel_g;
    }

    if (!std::isfinite(row.time_s)) return step_kind::untimed;
    if (!stats->have_time) {
        stats->have_time = true;
        stats->first_time_s = row.time_s;
        stats->last_time_s = row.time_s;
        stats->previous_time_s = row.time_s;
        stats->joining = false;
        return step_kind::first;
    }
    const bool at_join = stats->joining;
    stats->joining = false;
    const double excess = (row.time_s - stats->previous_time_s) - stats->step_s;
    const double at = stats->previous_time_s;
    stats->previous_time_s = row.time_s;
    stats->last_time_s = row.time_s;

    step_kind kind = step_kind::regular;
    if (excess > stats->threshold_s) {
        kind = step_kind::gap;
        ++stats->gaps;
        stats->missing_s += excess;
        stats->largest_gap_s = std::max(stats->largest_gap_s, excess);
    } else if (-excess > stats->threshold_s) {
        kind = step_kind::overlap;
        ++stats->overlaps;
        stats->repeated_s += -excess;
        stats->largest_overlap_s = std::max(stats->largest_overlap_s, -excess);
    } else {
        stats->jitter_late_s = std::max(stats->jitter_late_s, excess);
        stats->jitter_early_s = std::max(stats->jitter_early_s, -excess);
    }
    if (kind != step_kind::regular && stats->kept_count < kept_discontinuities)
        stats->kept[stats->kept_count++] = discontinuity{at, excess, line, stats->part, at_join};
    return kind;
}

double stats_duration(const inspect_stats& stats) {
    if (!stats.have_time) return 0.0;
    return stats.last_time_s - stats.first_time_s + stats.step_s;
}

double stats_implied_sensitivity(const inspect_stats& stats) {
    if (!(stats.sum_g_g > 0.0)) return 0.0;
    return stats.sum_volt_g / stats.sum_g_g;
}
