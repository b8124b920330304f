// What one pass over the rows learns: counts, time continuity, the range
// and level of the acceleration, and whether the unit columns follow from
// the voltage. Constant memory whatever the number of rows.
#ifndef ACC_INSPECT_STATS_H
#define ACC_INSPECT_STATS_H

#include "csv_reader.h"
#include "moments.h"

#include <cstddef>
#include <cstdint>

// A step between consecutive rows that is off the sample step by more than
// the threshold: a gap (positive `excess_s`, time missing) or an overlap
// (negative, time repeated).
struct discontinuity {
    double at_s;         // time of the row before it
    double excess_s;     // step minus the sample step
    std::uint64_t line;  // line of the row after it
    std::uint32_t part;  // the file of a run that row is in, from 0
    bool at_join;        // the row after it is the first timed row of its file
};

constexpr std::size_t kept_discontinuities = 256;

struct inspect_stats {
    double step_s;
    double threshold_s;
    double sensitivity_v_per_g;

    std::uint32_t part;  // of the rows added now
    bool joining;        // the next timed row is the first of a file after another

    std::uint64_t rows;
    std::uint64_t nonfinite_rows;  // any field nan or inf
    bool have_time;
    double first_time_s;
    double last_time_s;
    double previous_time_s;

    std::uint64_t gaps;
    std::uint64_t overlaps;
    double largest_gap_s;                      // excess of the largest gap
    double largest_overlap_s;                  // magnitude of the largest overlap
    double missing_s;                          // sum of the gaps' excess
    double repeated_s;                         // sum of the overlaps' magnitude
    double jitter_late_s;                      // largest excess below the threshold
    double jitter_early_s;                     // largest shortfall below the threshold
    discontinuity kept[kept_discontinuities];  // the first ones, in order
    std::size_t kept_count;

    moments volt;  // of the finite values of each column
    moments accel_g;
    moments accel_ms2;

    std::uint64_t mismatched_rows;
    std::uint64_t first_mismatch_line;
    double sum_volt_g;  // for the volts per g the rows imply
    double sum_g_g;
};

enum class step_kind { first, regular, gap, overlap, untimed };

// `threshold_s`: how far a step may stray from 1/rate before it counts.
void stats_init(inspect_stats* stats, double rate_hz, double sensitivity_v_per_g,
                double threshold_s);

// Adds the row read from `line`; says how its time follows the previous row.
step_kind stats_add(inspect_stats* stats, const csv_row& row, std::uint64_t line);

// Rows over the time they span: last minus first plus one step, 0 when none.
double stats_duration(const inspect_stats& stats);

// The sensitivity in volts per g that the rows' columns 2 and 3 imply
// (least squares through zero); 0 when no row has a nonzero g.
double stats_implied_sensitivity(const inspect_stats& stats);

// Whether `accel_g` and `accel_ms2` are what the recorder writes for a
// voltage that prints as `volt`: the voltage is known to half a unit of the
// sixth decimal, so each column may stray by that, scaled, plus its own
// rounding.
bool row_consistent(const csv_row& row, double sensitivity_v_per_g);

#endif
