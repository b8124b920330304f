#include "inspect_run.h"

#include "run_settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Whether a row counts under --from and --to: by its own time, or for a
// row without one, by the time of the row before it.
bool in_window(const inspect_config& config, bool have_time, double time_s) {
    if (!config.have_from && !config.have_to) return true;
    if (!have_time) return false;
    if (config.have_from && time_s < config.from_s) return false;
    if (config.have_to && !(time_s < config.to_s)) return false;
    return true;
}

}  // namespace

int row_pass_init(row_pass* pass, const inspect_config& config, inspect_result* result) {
    *pass = row_pass{};
    welch_state& welch = pass->welch;
    int error = welch_init(&welch, config.segment_size);
    if (error == 0)
        error = trend_init(&result->trend, config.trend_interval_s, welch.size / 2 + 1,
                           config.rate_hz / static_cast<double>(welch.size));
    if (error != 0) {
        welch_free(&welch);
        return error;
    }
    const double density_scale = welch_density_scale(welch, config.rate_hz);
    trend_set_band(&result->trend, config.band_low_hz, config.band_high_hz, density_scale);
    stats_init(&result->stats, config.rate_hz, config.sensitivity_v_per_g, config.threshold_s);
    envelope_init(&result->env);
    spectrogram_init(&result->spectro, welch.size / 2 + 1,
                     config.rate_hz / static_cast<double>(welch.size), density_scale);
    pass->segment_span_s = static_cast<double>(welch.size - 1) / config.rate_hz;
    return 0;
}

void row_pass_add(row_pass* pass, const inspect_config& config, inspect_result* result,
                  part_summary* part, const csv_row& row, std::uint64_t line) {
    welch_state* welch = &pass->welch;
    if (std::isfinite(row.time_s)) {
        pass->have_time = true;
        pass->time_s = row.time_s;
        if (!part->have_time) part->first_time_s = row.time_s;
        part->have_time = true;
        part->last_time_s = row.time_s;
    }
    const double time_s = pass->time_s;
    if (!in_window(config, pass->have_time, time_s)) return;
    step_kind kind = stats_add(&result->stats, row, line);
    // Samples may be missing across a gap; an overlap only shows that a
    // block's time stamp came early, the samples themselves run on. A block
    // read before a stall returns late and carries the gap in its time stamp
    // while the samples are lost after it, so segments also start afresh one
    // block later.
    if (pass->rows_to_second_break > 0 && --pass->rows_to_second_break == 0) welch_break(welch);
    if (kind == step_kind::gap) {
        welch_break(welch);
        pass->rows_to_second_break = config.block_rows;
    }
    const bool finite_g = std::isfinite(row.accel_g);
    if (finite_g) {
        pass->held_g = row.accel_g;
        if (pass->have_time) trend_add(&result->trend, time_s, row.accel_g);
    }
    if (welch_add(welch, pass->held_g)) {
        trend_add_segment(&result->trend, welch->segment_power);
        spectrogram_add(&result->spectro, welch->segment_power, time_s - pass->segment_span_s,
                        time_s);
    }
    if (std::isfinite(row.time_s) && finite_g) envelope_add(&result->env, row.time_s, row.accel_g);
}

bool row_pass_finish(row_pass* pass, const inspect_config& config, inspect_result* result) {
    trend_finish(&result->trend);
    result->levels = level_figures_of(result->stats);

    result->spectrum_error = welch_finish(&pass->welch, config.rate_hz, &result->spectrum);
    if (result->spectrum_error == ENOMEM) {
        result->resource_error = ENOMEM;
        return false;
    }
    if (result->spectrum_error == 0) {
        result->noise_floor = noise_floor(result->spectrum);
        result->peak_threshold = peak_over_floor * result->noise_floor;
        result->peak_count =
            find_peaks(result->spectrum, result->peak_threshold, result->peaks, config.peaks);
        compute_band_levels(result->spectrum, config.band_low_hz, config.band_high_hz,
                            &result->bands);
    }
    return true;
}

void row_pass_free(row_pass* pass) { welch_free(&pass->welch); }

inspect_config default_inspect_config() {
    const run_settings& s = compiled_run_settings;
    inspect_config config{};
    config.rate_hz = s.sample_rate_hz;
    config.sensitivity_v_per_g = s.sensitivity_mv_per_g / 1000.0;
    config.threshold_s = 0.5 * s.chunk_points / s.sample_rate_hz;
    config.block_rows = s.chunk_points;
    config.segment_size = default_segment_size;
    config.buffer_size = csv_reader_default_buffer;
    config.band_low_hz = 10.0;
    config.band_high_hz = 1000.0;
    config.trend_interval_s = 1.0;
    config.peaks = default_reported_peaks;
    return config;
}

void set_run_settings(inspect_config* config, double rate_hz, double sensitivity_mv_per_g,
                      bool from_provenance) {
    config->rate_hz = rate_hz;
    config->sensitivity_v_per_g = sensitivity_mv_per_g / 1000.0;
    config->threshold_s = 0.5 * config->block_rows / config->rate_hz;
    config->settings_from_provenance = from_provenance;
}

void inspect_result_free(inspect_result* result) {
    trend_free(&result->trend);
    spectrum_free(&result->spectrum);
    std::free(result->parts);
    result->parts = nullptr;
}

bool window_missed(const inspect_result& result, const inspect_config& config, double* first_s,
                   double* last_s) {
    if ((!config.have_from && !config.have_to) || result.stats.rows > 0) return false;
    bool have_time = false;
    for (std::size_t i = 0; i < result.part_count; ++i) {
        const part_summary& p = result.parts[i];
        if (!p.have_time) continue;
        if (!have_time) *first_s = p.first_time_s;
        *last_s = p.last_time_s;
        have_time = true;
    }
    return have_time;
}

run_clock clock_of(const provenance& p) {
    run_clock clock{};
    if (p.present && p.have_start) {
        clock.known = true;
        clock.start_unix_s = p.start_unix_s;
        clock.synchronized = p.synchronized;
        std::memcpy(clock.run_id, p.run_id, sizeof clock.run_id);
    }
    return clock;
}

clock_text clock_time(const run_clock& clock, double t) {
    clock_text out{};
    format_utc(clock.start_unix_s + t, 3, out.text, sizeof out.text);
    return out;
}
