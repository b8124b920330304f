#include "follow_output.h"

#include "data_file_name.h"
#include "provenance_file.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>

namespace {

int stream_error(std::FILE* out) { return std::ferror(out) ? (errno ? errno : EIO) : 0; }

// A label value: backslash, double quote and line end escaped.
void label_value(std::FILE* out, const char* text) {
    std::fputc('"', out);
    for (const char* c = text; *c; ++c) {
        if (*c == '\\' || *c == '"')
            std::fputc('\\', out);
        else if (*c == '\n') {
            std::fputs("\\n", out);
            continue;
        }
        std::fputc(*c, out);
    }
    std::fputc('"', out);
}

void gauge(std::FILE* out, const char* name, const char* help, const followed_interval& f,
           double value) {
    std::fprintf(out, "# HELP %s %s\n# TYPE %s gauge\n%s{run=", name, help, name, name);
    label_value(out, f.clock->known ? f.clock->run_id : "");
    std::fputs(",file=", out);
    label_value(out, base_name(f.file));
    char text[json_number_size];
    std::fprintf(out, "} %s\n",
                 std::isnan(value)   ? "NaN"
                 : std::isinf(value) ? (value > 0 ? "+Inf" : "-Inf")
                                     : format_json_number(value, text));
}

}  // namespace

int write_follow_line(std::FILE* out, const followed_interval& f, double alarm_mm_s) {
    const trend_interval& v = *f.interval;
    const double start_s = trend_start_s(*f.trend, v);
    if (f.clock->known)
        std::fputs(clock_time(*f.clock, start_s).text, out);
    else
        std::fprintf(out, "%.3f s", start_s);
    // Without a spectrum segment ended in it, an interval has neither.
    std::fprintf(out, "  rms %.6f g  peak %.6f g  velocity ", v.rms_g, v.peak_g);
    if (std::isnan(v.velocity_rms_mm_s))
        std::fputs("-", out);
    else
        std::fprintf(out, "%.3f mm/s", v.velocity_rms_mm_s);
    if (std::isnan(v.dominant_hz))
        std::fputs("  dominant -", out);
    else
        std::fprintf(out, "  dominant %.2f Hz", v.dominant_hz);
    std::fprintf(out, "  gaps %" PRIu64 "  overlaps %" PRIu64, f.gaps, f.overlaps);
    if (f.above_alarm) std::fprintf(out, "  ALARM above %g mm/s", alarm_mm_s);
    std::fputc('\n', out);
    return stream_error(out);
}

int write_prom(std::FILE* out, const followed_interval& f, bool stalled, int following) {
    const trend_interval& v = *f.interval;
    const double start_s = trend_start_s(*f.trend, v);
    gauge(out, "acc_rms_g", "RMS acceleration about the mean over the latest interval, in g.", f,
          v.rms_g);
    gauge(out, "acc_peak_g", "Largest departure from the mean in the latest interval, in g.", f,
          v.peak_g);
    gauge(out, "acc_velocity_rms_mm_s",
          "Velocity RMS in the band over the latest interval, in mm/s.", f, v.velocity_rms_mm_s);
    gauge(out, "acc_dominant_hz", "Dominant frequency of the latest interval, in Hz.", f,
          v.dominant_hz);
    gauge(out, "acc_interval_rows", "Rows in the latest interval.", f, static_cast<double>(v.rows));
    gauge(out, "acc_interval_start_seconds",
          "Start of the latest interval: Unix time with provenance, else row time.", f,
          f.clock->known ? f.clock->start_unix_s + start_s : start_s);
    gauge(out, "acc_gaps", "Gaps in time found in the run so far.", f, static_cast<double>(f.gaps));
    gauge(out, "acc_overlaps", "Overlaps in time found in the run so far.", f,
          static_cast<double>(f.overlaps));
    gauge(out, "acc_stalled", "1 while the file being written has stopped growing.", f,
          stalled ? 1.0 : 0.0);
    if (following >= 0)
        gauge(out, "acc_following",
              "1 while the run is followed, 0 once it ended: the gauges are its last.", f,
              following);
    if (f.alarm_given)
        gauge(out, "acc_above_alarm", "1 when the latest velocity RMS is above the alarm level.", f,
              f.above_alarm ? 1.0 : 0.0);
    return stream_error(out);
}

void describe_follow_end(bool stopped, const interrupted_tail& tail, char* out,
                         std::size_t out_size) {
    const std::uint64_t n = tail_bytes(tail);
    if (stopped)
        std::snprintf(out, out_size, "stopped");
    else if (n == 0)
        std::snprintf(out, out_size, "the recorder let go of the run");
    else
        std::snprintf(out, out_size,
                      "the recording was interrupted, %" PRIu64
                      " byte%s after its last whole row left out",
                      n, n == 1 ? "" : "s");
}
