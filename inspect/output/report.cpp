#include "report.h"

#include "data_file_name.h"
#include "data_format.h"
#include "provenance_file.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>

namespace {

constexpr int label_width = 28;

// Row time t on the clock, when the run's provenance says where 0 stands.
void clock_note(std::FILE* out, const run_clock& clock, double t) {
    if (clock.known) std::fprintf(out, " (%s)", clock_time(clock, t).text);
}

// Where a discontinuity is: its line, and its file when there are several.
void place(std::FILE* out, const inspect_result& r, const discontinuity& d) {
    if (r.part_count <= 1) {
        std::fprintf(out, "line %" PRIu64, d.line);
    } else if (d.at_join && d.part > 0) {
        std::fprintf(out, "at the join of %s and %s, line %" PRIu64,
                     base_name(r.parts[d.part - 1].path), base_name(r.parts[d.part].path), d.line);
    } else {
        std::fprintf(out, "%s line %" PRIu64, base_name(r.parts[d.part].path), d.line);
    }
}

void heading(std::FILE* out, const char* title, const char* note) {
    std::fprintf(out, "\n%s\n", title);
    if (note && *note) std::fprintf(out, "  (%s)\n", note);
}

void write_interruption(std::FILE* out, const interrupted_tail& tail) {
    const std::uint64_t n = tail_bytes(tail);
    if (n == 0) return;
    std::fprintf(out,
                 "         the recording or its copy was interrupted; %" PRIu64
                 " byte%s after its last whole row left out\n",
                 n, n == 1 ? "" : "s");
}

void write_verdict(std::FILE* out, const inspect_stats& s, const inspect_config& config) {
    std::fprintf(out, "Verdict  valid data file, %" PRIu64 " rows", s.rows);
    if (s.gaps > 0)
        std::fprintf(out, "; %" PRIu64 " gap%s, %.3f s missing", s.gaps, s.gaps == 1 ? "" : "s",
                     s.missing_s);
    if (s.overlaps > 0)
        std::fprintf(out, "; %" PRIu64 " overlap%s", s.overlaps, s.overlaps == 1 ? "" : "s");
    if (s.mismatched_rows > 0)
        std::fprintf(
            out, "; %" PRIu64 " row%s not converted as %s", s.mismatched_rows,
            s.mismatched_rows == 1 ? "" : "s",
            config.settings_from_provenance ? "the provenance says" : "this build converts");
    if (s.nonfinite_rows > 0)
        std::fprintf(out, "; %" PRIu64 " row%s with nan or inf", s.nonfinite_rows,
                     s.nonfinite_rows == 1 ? "" : "s");
    const bool clean =
        s.gaps == 0 && s.overlaps == 0 && s.mismatched_rows == 0 && s.nonfinite_rows == 0;
    if (clean && s.rows > 0) std::fprintf(out, "; no gaps, no overlaps, every row consistent");
    std::fprintf(out, "\n");
}

void write_time(std::FILE* out, const inspect_result& r, const inspect_config& c) {
    const inspect_stats& s = r.stats;
    heading(out, "Rows and time", nullptr);
    std::fprintf(out, "  %-*s %14" PRIu64 " bytes\n", label_width, "size", r.bytes);
    if (r.compressed)
        std::fprintf(out, "  %-*s %14" PRIu64 " bytes (%.1f times smaller)\n", label_width,
                     "size on disk", r.stored_bytes,
                     r.stored_bytes > 0 ? static_cast<double>(r.bytes) / r.stored_bytes : 0.0);
    std::fprintf(out, "  %-*s %14" PRIu64 "\n", label_width, "rows", s.rows);
    if (r.compact)
        std::fprintf(out,
                     "  %-*s %14" PRIu64
                     "\n  (taken from the compact form's columns: their six decimals, separators\n"
                     "   and four fields hold by construction; the other rows' text is checked)\n",
                     label_width, "rows read as numbers", r.rows_as_numbers);
    if (tail_bytes(r.tail) > 0)
        std::fprintf(
            out, "  %-*s %14" PRIu64 " bytes (%" PRIu64 " of a row cut short, %" PRIu64 " NUL)\n",
            label_width, "left out after the last row", tail_bytes(r.tail), r.tail.row_bytes,
            r.tail.nul_bytes);
    if (c.have_from || c.have_to) {
        std::fprintf(out, "  %-*s", label_width, "window (--from, --to)");
        if (c.have_from) std::fprintf(out, " from %.6f s", c.from_s);
        if (c.have_to) std::fprintf(out, " up to %.6f s", c.to_s);
        std::fprintf(out, "; rows outside it not counted\n");
    }
    if (!s.have_time) return;
    double duration = stats_duration(s);
    std::fprintf(out, "  %-*s %14.6f s", label_width, "first row time", s.first_time_s);
    clock_note(out, r.clock, s.first_time_s);
    std::fprintf(out, "\n  %-*s %14.6f s", label_width, "last row time", s.last_time_s);
    clock_note(out, r.clock, s.last_time_s);
    std::fprintf(out, "\n");
    std::fprintf(out, "  %-*s %14.6f s    (last - first + one %.3f ms step)\n", label_width,
                 "duration", duration, s.step_s * 1e3);
    if (duration > 0)
        std::fprintf(out, "  %-*s %14.3f Hz   (nominal %.0f Hz)\n", label_width,
                     "effective sample rate", static_cast<double>(s.rows) / duration, c.rate_hz);
    std::fprintf(out, "  %-*s %14" PRIu64 "\n", label_width, "rows with nan or inf",
                 s.nonfinite_rows);
}

void write_clock(std::FILE* out, const inspect_result& r) {
    const run_clock& clock = r.clock;
    if (!clock.known) return;
    heading(out, "Clock", nullptr);
    std::fprintf(out, "  %-*s %s\n", label_width, "run", clock.run_id);
    std::fprintf(out, "  %-*s %s\n", label_width, "row time 0 (UTC)", clock_time(clock, 0.0).text);
    if (r.stats.have_time) {
        std::fprintf(out, "  %-*s %s\n", label_width, "start (UTC)",
                     clock_time(clock, r.stats.first_time_s).text);
        std::fprintf(out, "  %-*s %s\n", label_width, "end (UTC)",
                     clock_time(clock, r.stats.last_time_s + r.stats.step_s).text);
    }
    if (!clock.synchronized)
        std::fprintf(out,
                     "  the clock was not synchronised when the run started: these instants\n"
                     "  rest on an unsynchronised clock\n");
}

void write_files(std::FILE* out, const inspect_result& r) {
    if (r.part_count <= 1) return;
    heading(out, "Files", nullptr);
    std::fprintf(out, "  %-36s %10s %14s %14s  %s\n", "name", "rows", "first row s", "last row s",
                 "verdict");
    for (std::size_t i = 0; i < r.part_count; ++i) {
        const part_summary& p = r.parts[i];
        std::fprintf(out, "  %-36s %10" PRIu64, base_name(p.path), p.rows);
        if (p.have_time)
            std::fprintf(out, " %14.6f %14.6f", p.first_time_s, p.last_time_s);
        else
            std::fprintf(out, " %14s %14s", "-", "-");
        std::fprintf(out, "  %s\n",
                     !p.valid                 ? "invalid"
                     : tail_bytes(p.tail) > 0 ? "interrupted"
                                              : "valid");
    }
}

void write_continuity(std::FILE* out, const inspect_result& r) {
    const inspect_stats& s = r.stats;
    char note[256];
    std::snprintf(
        note, sizeof note,
        "a step between rows that differs from %.3f ms by more than %.3f ms, half a block,\n"
        "   counts as a gap or an overlap; smaller departures are host timing jitter",
        s.step_s * 1e3, s.threshold_s * 1e3);
    heading(out, "Continuity", note);
    std::fprintf(out, "  %-*s %14" PRIu64, label_width, "gaps", s.gaps);
    if (s.gaps > 0)
        std::fprintf(out, "    largest %.3f ms; %.6f s missing in all", s.largest_gap_s * 1e3,
                     s.missing_s);
    std::fprintf(out, "\n  %-*s %14" PRIu64, label_width, "overlaps", s.overlaps);
    if (s.overlaps > 0)
        std::fprintf(out, "    largest %.3f ms; %.6f s repeated in all", s.largest_overlap_s * 1e3,
                     s.repeated_s);
    std::fprintf(out, "\n  %-*s %+14.3f ms / %+.3f ms (largest late / early step)\n", label_width,
                 "jitter below threshold", s.jitter_late_s * 1e3, -s.jitter_early_s * 1e3);
    const std::size_t listed = std::min<std::size_t>(s.kept_count, 10);
    for (std::size_t i = 0; i < listed; ++i) {
        const discontinuity& d = s.kept[i];
        std::fprintf(out, "    %-8s after %.6f s", d.excess_s > 0 ? "gap" : "overlap", d.at_s);
        if (r.clock.known)  // from the row before it to the row after it
            std::fprintf(out, " (%s to %s)", clock_time(r.clock, d.at_s).text,
                         clock_time(r.clock, d.at_s + s.step_s + d.excess_s).text);
        std::fprintf(out, " (");
        place(out, r, d);
        std::fprintf(out, "): %.3f ms %s\n", std::fabs(d.excess_s) * 1e3,
                     d.excess_s > 0 ? "missing" : "repeated");
    }
    if (s.gaps + s.overlaps > listed)
        std::fprintf(out, "    ... %" PRIu64 " more\n", s.gaps + s.overlaps - listed);
}

void stat_line(std::FILE* out, const char* label, double g, double ms2) {
    std::fprintf(out, "  %-*s %14.6f %14.6f\n", label_width, label, g, ms2);
}

void write_acceleration(std::FILE* out, const inspect_stats& s, const level_figures& levels) {
    heading(out, "Acceleration", nullptr);
    if (s.accel_g.count == 0 || s.accel_ms2.count == 0) {
        std::fprintf(out, "  no finite values\n");
        return;
    }
    const moments& g = s.accel_g;
    const moments& m = s.accel_ms2;
    std::fprintf(out, "  %-*s %14s %14s\n", label_width, "", "g", "m/s^2");
    stat_line(out, "min", g.min, m.min);
    stat_line(out, "max", g.max, m.max);
    stat_line(out, "mean", moments_mean(g), moments_mean(m));
    stat_line(out, "RMS", moments_rms(g), moments_rms(m));
    stat_line(out, "RMS about the mean", moments_ac_rms(g), moments_ac_rms(m));
    stat_line(out, "peak-to-peak", g.max - g.min, m.max - m.min);
    stat_line(out, "largest departure from mean", levels.largest_departure_g,
              levels.largest_departure_ms2);
    std::fprintf(out, "  %-*s %14.3f    (largest departure over RMS about the mean)\n", label_width,
                 "crest factor", levels.crest_factor);
    std::fprintf(out, "  %-*s %14.3f    (3 for Gaussian noise, 1.5 for a sine)\n", label_width,
                 "kurtosis", levels.kurtosis);
    std::fprintf(out, "  %-*s %+14.3f\n", label_width, "skewness", levels.skewness);
    if (s.volt.count > 0)
        std::fprintf(out, "  %-*s %14.6f V .. %.6f V, mean %.6f V\n", label_width, "voltage",
                     s.volt.min, s.volt.max, moments_mean(s.volt));
}

void write_consistency(std::FILE* out, const inspect_stats& s, const inspect_config& config) {
    const char* source =
        config.settings_from_provenance ? "the recording's provenance" : "this build";
    char note[400];
    std::snprintf(
        note, sizeof note,
        "columns 3 and 4 recomputed from column 2 at %.3f mV/g and %.5f m/s^2 per g; a row\n"
        "   matches when both lie within what rounding the voltage to six decimals allows;\n"
        "   sensitivity and sample rate (%g Hz) from %s",
        s.sensitivity_v_per_g * 1e3, standard_gravity, config.rate_hz, source);
    heading(out, "Consistency", note);
    std::fprintf(out, "  %-*s %14" PRIu64, label_width, "mismatching rows", s.mismatched_rows);
    if (s.mismatched_rows > 0)
        std::fprintf(out, "    first at line %" PRIu64, s.first_mismatch_line);
    std::fprintf(out, "\n");
    double implied = stats_implied_sensitivity(s);
    if (implied > 0.0 || implied < 0.0)
        std::fprintf(out, "  %-*s %14.3f mV/g (%s: %.3f mV/g)\n", label_width,
                     "sensitivity the rows imply", implied * 1e3,
                     config.settings_from_provenance ? "provenance" : "this build",
                     s.sensitivity_v_per_g * 1e3);
}

void write_spectrum(std::FILE* out, const inspect_result& r) {
    const amplitude_spectrum& sp = r.spectrum;
    if (r.spectrum_error != 0) {
        heading(out, "Vibration spectrum", nullptr);
        std::fprintf(out, "  too few rows between discontinuities for a spectrum\n");
        return;
    }
    char note[400];
    std::snprintf(
        note, sizeof note,
        "acceleration in g, each segment's mean removed, Hann window, %" PRIu64
        " segment%s of %zu points\n"
        "   with 50%% overlap averaged (Welch), none across a gap or the block after it;\n"
        "   %.3f Hz per bin; a sine of amplitude A g shows a peak of A g; peaks listed\n"
        "   when %.0f times the median bin or more",
        sp.segments, sp.segments == 1 ? "" : "s", sp.segment_size, sp.bin_hz, peak_over_floor);
    heading(out, "Vibration spectrum", note);
    std::fprintf(out, "  %-4s %14s %16s\n", "peak", "frequency", "amplitude");
    for (std::size_t i = 0; i < r.peak_count; ++i)
        std::fprintf(out, "  %-4zu %11.3f Hz %14.6f g\n", i + 1, r.peaks[i].frequency_hz,
                     r.peaks[i].amplitude);
    if (r.peak_count == 0) std::fprintf(out, "  no peak stands out of the noise\n");
    std::fprintf(out, "  %-*s %14.3g g (median bin)\n", label_width, "noise floor", r.noise_floor);
}

void write_bands(std::FILE* out, const inspect_result& r) {
    const band_levels& b = r.bands;
    const amplitude_spectrum& sp = r.spectrum;
    char note[480];
    std::snprintf(note, sizeof note,
                  "power spectral density in g^2/Hz from the same segments; an RMS is the square\n"
                  "   root of the density summed over the bins times %.3f Hz; velocity and\n"
                  "   displacement divide the acceleration density by (2 pi f)^2 and (2 pi f)^4\n"
                  "   before summing, at %.5f m/s^2 per g",
                  sp.bin_hz, standard_gravity);
    heading(out, "Spectral density and bands", note);
    const double nyquist = static_cast<double>(sp.bins - 1) * sp.bin_hz;
    std::fprintf(out, "  %-*s %14.6f g      (%.3f Hz to %.3f Hz)\n", label_width,
                 "overall RMS (grms)", b.grms_g, sp.bin_hz, nyquist);
    if (b.band_bins == 0) {
        std::fprintf(out, "  no bin between %.3f Hz and %.3f Hz\n", b.band_low_hz, b.band_high_hz);
        return;
    }
    std::fprintf(out, "  %-*s %14.6f g      (%.3f Hz to %.3f Hz)\n", label_width, "band RMS",
                 b.band_rms_g, b.band_low_hz, b.band_high_hz);
    std::fprintf(out, "  %-*s %14.6f mm/s   (%.3f Hz to %.3f Hz)\n", label_width, "velocity RMS",
                 b.velocity_rms_mm_s, b.band_low_hz, b.band_high_hz);
    std::fprintf(out, "  %-*s %14.6f um     (%.3f Hz to %.3f Hz)\n", label_width,
                 "displacement RMS", b.displacement_rms_um, b.band_low_hz, b.band_high_hz);
}

void write_octaves(std::FILE* out, const band_levels& b) {
    heading(out, "One-third-octave bands",
            "base-ten bands, RMS in g of the density in each; bands narrower than a bin left out");
    std::fprintf(out, "  %10s %12s %12s %14s %6s\n", "centre", "from", "to", "RMS", "bins");
    for (std::size_t i = 0; i < b.octave_count; ++i) {
        const octave_band& o = b.octave[i];
        if (o.bins == 0) continue;
        std::fprintf(out, "  %7.5g Hz %9.3f Hz %9.3f Hz %12.6f g %6zu\n", o.nominal_hz, o.low_hz,
                     o.high_hz, o.rms_g, o.bins);
    }
}

// Short runs list every interval; longer ones their range, every interval
// being in the JSON and CSV outputs.
constexpr std::size_t listed_intervals = 20;

void write_trend(std::FILE* out, const trend_state& t) {
    char note[400];
    std::snprintf(note, sizeof note,
                  "per %.3f s from the first row: RMS about the interval's own mean, peak as the\n"
                  "   largest departure from it, and the dominant frequency of the spectrum\n"
                  "   segments that ended in it; every interval in --json and --csv",
                  t.interval_s);
    heading(out, "Trend", note);
    std::fprintf(out, "  %-*s %14zu\n", label_width, "intervals", t.intervals.count);
    if (t.intervals.count == 0) return;
    if (t.intervals.count <= listed_intervals) {
        std::fprintf(out, "  %12s %10s %14s %14s %14s\n", "start", "rows", "RMS", "peak",
                     "dominant");
        for (std::size_t i = 0; i < t.intervals.count; ++i) {
            const trend_interval& v = t.intervals.slots[i];
            std::fprintf(out, "  %10.3f s %10" PRIu64 " %12.6f g %12.6f g", v.first_s, v.rows,
                         v.rms_g, v.peak_g);
            if (std::isnan(v.dominant_hz))
                std::fprintf(out, " %14s\n", "-");
            else
                std::fprintf(out, " %11.3f Hz\n", v.dominant_hz);
        }
        return;
    }
    const trend_interval& low = t.intervals.slots[t.lowest_rms];
    const trend_interval& high = t.intervals.slots[t.highest_rms];
    const trend_interval& peak = t.intervals.slots[t.highest_peak];
    std::fprintf(out, "  %-*s %14.6f g      (interval from %.3f s)\n", label_width, "lowest RMS",
                 low.rms_g, low.first_s);
    std::fprintf(out, "  %-*s %14.6f g      (interval from %.3f s)\n", label_width, "highest RMS",
                 high.rms_g, high.first_s);
    std::fprintf(out, "  %-*s %14.6f g      (interval from %.3f s)\n", label_width, "highest peak",
                 peak.peak_g, peak.first_s);
    if (!std::isnan(t.dominant_low_hz))
        std::fprintf(out, "  %-*s %11.3f Hz .. %.3f Hz\n", label_width, "dominant frequency",
                     t.dominant_low_hz, t.dominant_high_hz);
}

}  // namespace

std::string files_named(const char* path, const inspect_result& result) {
    if (result.part_count <= 1) return path;
    return std::string(result.parts[0].path) + " through " +
           result.parts[result.part_count - 1].path + " (" + std::to_string(result.part_count) +
           " files)";
}

int write_report(std::FILE* out, const char* path, const inspect_result& result,
                 const inspect_config& config) {
    std::fprintf(out, "Data file%s  %s\n", result.part_count > 1 ? "s" : "",
                 files_named(path, result).c_str());
    write_verdict(out, result.stats, config);
    write_interruption(out, result.tail);
    write_time(out, result, config);
    write_clock(out, result);
    write_files(out, result);
    if (result.stats.rows > 0) {
        write_continuity(out, result);
        write_acceleration(out, result.stats, result.levels);
        write_consistency(out, result.stats, config);
        write_spectrum(out, result);
        if (result.spectrum_error == 0) {
            write_bands(out, result);
            write_octaves(out, result.bands);
        }
        write_trend(out, result.trend);
    }
    if (std::fflush(out) != 0 || std::ferror(out)) return errno ? errno : EIO;
    return 0;
}
