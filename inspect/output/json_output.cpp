#include "json_output.h"

#include "data_format.h"
#include "provenance_file.h"
#include "run_settings.h"
#include "text_escape.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <initializer_list>

namespace {

void write_column(json_writer* w, const char* name, const moments& c) {
    json_open(w, name, '{');
    if (c.count > 0) {
        json_number(w, "min", c.min);
        json_number(w, "max", c.max);
        json_number(w, "mean", moments_mean(c));
        json_number(w, "rms", moments_rms(c));
        json_number(w, "rms_about_mean", moments_ac_rms(c));
        json_number(w, "peak_to_peak", c.max - c.min);
    }
    json_close(w, '}');
}

// Row time t as a UTC instant, only when the run's provenance places it.
void instant(json_writer* w, const char* name, const run_clock& clock, double t) {
    if (clock.known) json_string(w, name, clock_time(clock, t).text);
}

// Only for a recording or copy that was interrupted: what was left out
// after its last whole row, and in which file.
void write_interruption(json_writer* w, const inspect_result& r) {
    if (tail_bytes(r.tail) == 0) return;
    json_open(w, "interrupted", '{');
    if (r.part_count > 0 && r.parts[r.part_count - 1].path)
        json_string(w, "file", r.parts[r.part_count - 1].path);
    json_count(w, "left_out_bytes", tail_bytes(r.tail));
    json_count(w, "cut_row_bytes", r.tail.row_bytes);
    json_count(w, "nul_bytes", r.tail.nul_bytes);
    json_close(w, '}');
}

void write_run(json_writer* w, const inspect_result& r) {
    if (r.clock.known) {
        json_open(w, "clock", '{');
        json_string(w, "run_id", r.clock.run_id);
        json_bool(w, "synchronized", r.clock.synchronized);
        instant(w, "row_time_0_utc", r.clock, 0.0);
        if (r.stats.have_time) {
            instant(w, "start_utc", r.clock, r.stats.first_time_s);
            instant(w, "end_utc", r.clock, r.stats.last_time_s + r.stats.step_s);
        }
        json_close(w, '}');
    }
    if (r.part_count <= 1) return;
    json_open(w, "files", '[');
    for (std::size_t i = 0; i < r.part_count; ++i) {
        const part_summary& p = r.parts[i];
        json_open(w, nullptr, '{');
        json_string(w, "file", p.path);
        json_count(w, "rows", p.rows);
        json_count(w, "size_bytes", p.bytes);
        if (p.compressed) json_count(w, "compressed_size_bytes", p.stored_bytes);
        json_number(w, "first_row_s", p.have_time ? p.first_time_s : NAN);
        json_number(w, "last_row_s", p.have_time ? p.last_time_s : NAN);
        json_bool(w, "valid", p.valid);
        if (tail_bytes(p.tail) > 0) json_count(w, "left_out_bytes", tail_bytes(p.tail));
        json_close(w, '}');
    }
    json_close(w, ']');
}

void write_stats(json_writer* w, const inspect_result& r, const inspect_config& c) {
    const inspect_stats& s = r.stats;
    json_open(w, "time", '{');
    json_count(w, "size_bytes", r.bytes);
    if (r.compressed) json_count(w, "compressed_size_bytes", r.stored_bytes);
    json_count(w, "rows", s.rows);
    json_count(w, "rows_nonfinite", s.nonfinite_rows);
    if (r.compact) {
        // Read from the compact form's columns, these rows could not be
        // written otherwise: the checks of their text hold by construction.
        json_count(w, "rows_as_numbers", r.rows_as_numbers);
        json_open(w, "checks_by_construction", '[');
        for (const char* check : {"six_decimals", "separators", "four_fields"})
            json_string(w, nullptr, check);
        json_close(w, ']');
    }
    if (s.have_time) {
        json_number(w, "first_row_s", s.first_time_s);
        json_number(w, "last_row_s", s.last_time_s);
        json_number(w, "duration_s", stats_duration(s));
        json_number(w, "effective_rate_hz", static_cast<double>(s.rows) / stats_duration(s));
    }
    json_number(w, "nominal_rate_hz", c.rate_hz);
    json_number(w, "window_from_s", c.have_from ? c.from_s : NAN);
    json_number(w, "window_to_s", c.have_to ? c.to_s : NAN);
    json_close(w, '}');

    json_open(w, "continuity", '{');
    json_number(w, "step_s", s.step_s);
    json_number(w, "threshold_s", s.threshold_s);
    json_count(w, "gaps", s.gaps);
    json_number(w, "largest_gap_s", s.largest_gap_s);
    json_number(w, "missing_s", s.missing_s);
    json_count(w, "overlaps", s.overlaps);
    json_number(w, "largest_overlap_s", s.largest_overlap_s);
    json_number(w, "repeated_s", s.repeated_s);
    json_number(w, "jitter_late_s", s.jitter_late_s);
    json_number(w, "jitter_early_s", s.jitter_early_s);
    json_open(w, "discontinuities", '[');
    for (std::size_t i = 0; i < s.kept_count; ++i) {
        const discontinuity& d = s.kept[i];
        json_open(w, nullptr, '{');
        json_string(w, "kind", d.excess_s > 0 ? "gap" : "overlap");
        json_number(w, "after_s", d.at_s);
        json_count(w, "line", d.line);
        json_number(w, "excess_s", d.excess_s);
        instant(w, "after_utc", r.clock, d.at_s);
        instant(w, "next_row_utc", r.clock, d.at_s + s.step_s + d.excess_s);
        if (r.part_count > 1) {
            json_string(w, "file", r.parts[d.part].path);
            if (d.at_join && d.part > 0) json_string(w, "previous_file", r.parts[d.part - 1].path);
        }
        json_close(w, '}');
    }
    json_close(w, ']');
    json_close(w, '}');

    json_open(w, "acceleration", '{');
    write_column(w, "g", s.accel_g);
    write_column(w, "m_s2", s.accel_ms2);
    write_column(w, "volt", s.volt);
    json_number(w, "largest_departure_g", r.levels.largest_departure_g);
    json_number(w, "largest_departure_m_s2", r.levels.largest_departure_ms2);
    json_number(w, "crest_factor", r.levels.crest_factor);
    json_number(w, "kurtosis", r.levels.kurtosis);
    json_number(w, "skewness", r.levels.skewness);
    json_close(w, '}');

    json_open(w, "consistency", '{');
    json_count(w, "mismatching_rows", s.mismatched_rows);
    if (s.mismatched_rows > 0) json_count(w, "first_mismatch_line", s.first_mismatch_line);
    const double implied = stats_implied_sensitivity(s);
    json_number(w, "implied_sensitivity_mv_per_g", implied != 0.0 ? implied * 1e3 : NAN);
    json_number(w, "build_sensitivity_mv_per_g", compiled_run_settings.sensitivity_mv_per_g);
    json_number(w, "sensitivity_mv_per_g", s.sensitivity_v_per_g * 1e3);
    json_number(w, "sample_rate_hz", c.rate_hz);
    json_string(w, "settings_from", c.settings_from_provenance ? "provenance" : "compiled-in");
    json_close(w, '}');
}

void write_spectrum(json_writer* w, const inspect_result& r) {
    const amplitude_spectrum& sp = r.spectrum;
    json_open(w, "spectrum", '{');
    json_bool(w, "available", r.spectrum_error == 0);
    if (r.spectrum_error == 0) {
        json_count(w, "segment_points", sp.segment_size);
        json_count(w, "segments", sp.segments);
        json_number(w, "bin_hz", sp.bin_hz);
        json_number(w, "noise_floor_g", r.noise_floor);
        json_number(w, "peak_threshold_g", r.peak_threshold);
        json_open(w, "peaks", '[');
        for (std::size_t i = 0; i < r.peak_count; ++i) {
            json_open(w, nullptr, '{');
            json_number(w, "frequency_hz", r.peaks[i].frequency_hz);
            json_number(w, "amplitude_g", r.peaks[i].amplitude);
            json_close(w, '}');
        }
        json_close(w, ']');
        const band_levels& b = r.bands;
        json_number(w, "grms_g", b.grms_g);
        json_number(w, "grms_low_hz", sp.bin_hz);
        json_number(w, "grms_high_hz", static_cast<double>(sp.bins - 1) * sp.bin_hz);
        json_number(w, "band_low_hz", b.band_low_hz);
        json_number(w, "band_high_hz", b.band_high_hz);
        json_count(w, "band_bins", b.band_bins);
        json_number(w, "band_rms_g", b.band_rms_g);
        json_number(w, "velocity_rms_mm_s", b.velocity_rms_mm_s);
        json_number(w, "displacement_rms_um", b.displacement_rms_um);
        json_open(w, "third_octave_bands", '[');
        for (std::size_t i = 0; i < b.octave_count; ++i) {
            const octave_band& o = b.octave[i];
            json_open(w, nullptr, '{');
            json_number(w, "centre_hz", o.nominal_hz);
            json_number(w, "low_hz", o.low_hz);
            json_number(w, "high_hz", o.high_hz);
            json_count(w, "bins", o.bins);
            json_number(w, "rms_g", o.bins > 0 ? o.rms_g : NAN);
            json_close(w, '}');
        }
        json_close(w, ']');
        json_numbers(w, "amplitude_g", sp.amplitude, sp.bins);
        json_numbers(w, "psd_g2_per_hz", sp.psd, sp.bins);
    }
    json_close(w, '}');
}

// The keys of one interval, in the trend and in each line of a follower.
void trend_entry(json_writer* w, const trend_state& t, const trend_interval& v) {
    json_number(w, "start_s", trend_start_s(t, v));
    json_number(w, "first_row_s", v.first_s);
    json_number(w, "last_row_s", v.last_s);
    json_count(w, "rows", v.rows);
    json_number(w, "rms_g", v.rms_g);
    json_number(w, "peak_g", v.peak_g);
    json_number(w, "dominant_hz", v.dominant_hz);
    json_number(w, "velocity_rms_mm_s", v.velocity_rms_mm_s);
    json_number(w, "kurtosis", v.kurtosis);
}

void write_trend(json_writer* w, const trend_state& t) {
    json_open(w, "trend", '{');
    json_number(w, "interval_s", t.interval_s);
    json_number(w, "origin_s", t.origin_s);
    json_count(w, "interval_count", t.intervals.count);
    if (t.intervals.count > 0) {
        const trend_interval* v = t.intervals.slots;
        json_number(w, "lowest_rms_g", v[t.lowest_rms].rms_g);
        json_number(w, "lowest_rms_first_row_s", v[t.lowest_rms].first_s);
        json_number(w, "highest_rms_g", v[t.highest_rms].rms_g);
        json_number(w, "highest_rms_first_row_s", v[t.highest_rms].first_s);
        json_number(w, "highest_peak_g", v[t.highest_peak].peak_g);
        json_number(w, "highest_peak_first_row_s", v[t.highest_peak].first_s);
        json_number(w, "dominant_low_hz", t.dominant_low_hz);
        json_number(w, "dominant_high_hz", t.dominant_high_hz);
    }
    json_open(w, "intervals", '[');
    for (std::size_t i = 0; i < t.intervals.count; ++i) {
        json_open(w, nullptr, '{');
        trend_entry(w, t, t.intervals.slots[i]);
        json_close(w, '}');
    }
    json_close(w, ']');
    json_close(w, '}');
}

}  // namespace

int write_json(std::FILE* out, const char* path, const inspect_result& result,
               const inspect_config& config) {
    json_writer w = json_begin(out, INT_MAX);
    json_count(&w, "format_version", 1);
    json_string(&w, "file", path);
    json_bool(&w, "valid", true);
    write_interruption(&w, result);
    write_run(&w, result);
    write_stats(&w, result, config);
    write_spectrum(&w, result);
    write_trend(&w, result.trend);
    json_close(&w, '}');
    std::fputc('\n', out);
    if (std::fflush(out) != 0 || std::ferror(out)) return errno ? errno : EIO;
    return 0;
}

int write_json_line(std::FILE* out, const followed_interval& f) {
    json_writer w = json_begin(out, 1);
    trend_entry(&w, *f.trend, *f.interval);
    instant(&w, "start_utc", *f.clock, trend_start_s(*f.trend, *f.interval));
    json_count(&w, "gaps", f.gaps);
    json_count(&w, "overlaps", f.overlaps);
    if (f.alarm_given) json_bool(&w, "above_alarm", f.above_alarm);
    json_string(&w, "file", f.file);
    if (f.clock->known) json_string(&w, "run_id", f.clock->run_id);
    json_close(&w, '}');
    std::fputc('\n', out);
    if (std::ferror(out)) return errno ? errno : EIO;
    return 0;
}
