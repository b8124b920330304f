#include "history.h"

#include "data_file_name.h"
#include "inspect_options.h"
#include "output_file.h"
#include "output_refusal.h"
#include "program_status.h"
#include "summary_format.h"
#include "svg_history.h"
#include "text_escape.h"
#include "utc_time.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <pthread.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

constexpr double hour_s = 3600.0;
constexpr double day_s = 86400.0;
constexpr double longest_hourly_span_s = 7.0 * day_s;  // beyond: one interval per day
constexpr unsigned most_reading_threads = 4;           // the board's cores

// One summary's hour among all of them, with its velocities.
struct hour_of {
    const summary_hour* hour;
    const double* velocities;
};

void add_second(summary_read* read, double t, const summary_line& figures) {
    const double start = std::floor(t / hour_s) * hour_s;
    if (read->hours.empty() || read->hours.back().start_unix_s != start)
        read->hours.push_back(summary_hour{start, 0, std::nan(""), read->velocities.size(), 0});
    summary_hour& h = read->hours.back();
    ++h.seconds;
    h.largest_peak_g = std::fmax(h.largest_peak_g, figures.peak_g);
    if (!std::isnan(figures.velocity_rms_mm_s)) {
        read->velocities.push_back(figures.velocity_rms_mm_s);
        ++h.velocities;
    }
    ++read->seconds;
    read->first_s = std::min(read->first_s, t);
    read->last_s = std::max(read->last_s, t);
}

// The summaries shared out among threads, one file at a time: inflating
// them is most of the work, and each file is a stream of its own.
struct summary_reading {
    const std::vector<std::string>* paths;
    double from_s;
    double to_s;
    std::vector<summary_read>* reads;
    std::atomic<std::size_t> next;
};

void* read_some_summaries(void* shared) {
    summary_reading& r = *static_cast<summary_reading*>(shared);
    for (std::size_t i = r.next++; i < r.paths->size(); i = r.next++)
        read_summary((*r.paths)[i].c_str(), r.from_s, r.to_s, &(*r.reads)[i]);
    return nullptr;
}

// Reads every summary, on this thread and where they can be started on
// others. A file that could not be read says so in its `reads` entry.
void read_summaries(const std::vector<std::string>& paths, double from_s, double to_s,
                    std::vector<summary_read>* reads) {
    reads->assign(paths.size(), summary_read{});
    summary_reading shared{&paths, from_s, to_s, reads, {0}};
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t wanted = std::min<std::size_t>(
        {paths.size(), most_reading_threads, cores > 1 ? static_cast<std::size_t>(cores) : 1});
    pthread_t others[most_reading_threads];
    std::size_t started = 0;
    while (started + 1 < wanted &&
           pthread_create(&others[started], nullptr, read_some_summaries, &shared) == 0)
        ++started;
    read_some_summaries(&shared);
    for (std::size_t i = 0; i < started; ++i) pthread_join(others[i], nullptr);
}

bool summary_failed(const summary_read& read) { return read.open_error != 0 || read.bad_line != 0; }

// One summary's seconds and the name of its recording, for the raw periods.
struct summary_span {
    std::string stem;
    double first_s;
    double last_s;
    std::uint64_t seconds;  // in the window
    bool raw;               // its data file is still there
};

std::string utc_text(double unix_s) {
    char text[utc_text_size];
    format_utc(unix_s, 0, text, sizeof text);
    return text;
}

// Reports why `path` could not be read. Returns exit_invalid.
int report_summary_fault(const std::string& path, const summary_read& read) {
    if (read.open_error != 0) return report_error(path.c_str(), "cannot read", read.open_error);
    if (read.version > 0 && read.version != summary_version)
        std::fprintf(stderr,
                     "acc_inspect: %s: a summary of version %d, which this acc_inspect does not "
                     "read (it reads version %d)\n",
                     path.c_str(), read.version, summary_version);
    else
        std::fprintf(stderr, "acc_inspect: %s: line %" PRIu64 ": not a summary line\n",
                     path.c_str(), read.bad_line);
    return exit_invalid;
}

struct history_listing {
    std::vector<std::string> summaries;  // names, in order
    std::vector<std::string> raw_stems;  // recordings with a data file in any form
};

int list_directory(const char* dir, history_listing* listing) {
    DIR* d = opendir(dir);
    if (!d) return errno;
    errno = 0;
    // cppcheck-suppress readdirCalled ; the stream is this function's alone
    while (const dirent* e = readdir(d)) {
        char stem[256];
        std::tm t{};
        std::size_t stem_size = 0;
        const name_kind kind = parse_data_file_name(e->d_name, &stem_size, &t);
        if (parse_summary_name(e->d_name, stem, sizeof stem, &t))
            listing->summaries.push_back(e->d_name);
        else if (kind != name_kind::none && kind != name_kind::provenance)
            listing->raw_stems.push_back(std::string(e->d_name, stem_size));
        errno = 0;
    }
    const int error = errno;
    closedir(d);
    std::sort(listing->summaries.begin(), listing->summaries.end());
    std::sort(listing->raw_stems.begin(), listing->raw_stems.end());
    return error;
}

void print_report(std::FILE* out, const char* dir, const std::vector<summary_span>& spans,
                  const std::vector<history_interval>& intervals, double first_s, double last_s,
                  std::uint64_t without_utc, const arguments& args) {
    std::fprintf(out, "acc_inspect: history of %s\n", dir);
    std::fprintf(out, "Summaries: %zu, seconds from %s to %s (UTC)\n", spans.size(),
                 utc_text(first_s).c_str(), utc_text(last_s).c_str());
    if (without_utc > 0)
        std::fprintf(out,
                     "Not shown: %" PRIu64
                     " seconds without a UTC instant (recordings without provenance)\n",
                     without_utc);
    const double length = intervals.empty() ? hour_s : intervals[0].length_s;
    std::fprintf(out, "Intervals: per %s", length == hour_s ? "hour" : "day");
    if (args.have_alarm) std::fprintf(out, ", alarm above %g mm/s", args.alarm_mm_s);
    std::fputc('\n', out);
    for (const history_interval& v : intervals) {
        std::fprintf(out, "  %s", utc_text(v.start_unix_s).c_str());
        if (v.seconds == 0)
            std::fprintf(out, "  no summary");
        else
            std::fprintf(out, "  velocity RMS median %.3f max %.3f mm/s  peak %.4f g",
                         v.median_velocity_mm_s, v.largest_velocity_mm_s, v.largest_peak_g);
        if (args.have_alarm) std::fprintf(out, "  above alarm %" PRIu64 " s", v.above_alarm);
        std::fprintf(out, "  missing %.0f s\n", v.missing_s);
    }
    std::fprintf(out, "Raw recordings (acc_inspect %s --from ... --to ...):", dir);
    bool any = false;
    for (const summary_span& s : spans) {
        if (!s.raw) continue;
        std::fprintf(out, "\n  %s to %s  %s", utc_text(s.first_s).c_str(),
                     utc_text(s.last_s + 1.0).c_str(), s.stem.c_str());
        any = true;
    }
    std::fprintf(out, "%s\n", any ? "" : " none");
}

int write_history_json(std::FILE* out, const char* dir, const std::vector<summary_span>& spans,
                       const std::vector<history_interval>& intervals, std::uint64_t without_utc,
                       const arguments& args) {
    json_writer w = json_begin(out, 4);
    json_open(&w, "history", '{');
    json_string(&w, "directory", dir);
    json_count(&w, "summaries", spans.size());
    if (without_utc > 0) json_count(&w, "seconds_without_utc", without_utc);
    json_number(&w, "interval_s", intervals.empty() ? hour_s : intervals[0].length_s, true);
    if (args.have_alarm) json_number(&w, "alarm_mm_s", args.alarm_mm_s);
    json_open(&w, "intervals", '[');
    for (const history_interval& v : intervals) {
        json_open(&w, nullptr, '{');
        json_string(&w, "start_utc", utc_text(v.start_unix_s).c_str());
        json_count(&w, "seconds", v.seconds);
        json_number(&w, "median_velocity_rms_mm_s", v.median_velocity_mm_s);
        json_number(&w, "min_velocity_rms_mm_s", v.smallest_velocity_mm_s);
        json_number(&w, "max_velocity_rms_mm_s", v.largest_velocity_mm_s);
        json_number(&w, "max_peak_g", v.largest_peak_g);
        if (args.have_alarm) json_count(&w, "above_alarm_s", v.above_alarm);
        json_number(&w, "missing_s", v.missing_s, true);
        json_close(&w, '}');
    }
    json_close(&w, ']');
    json_open(&w, "raw", '[');
    for (const summary_span& s : spans) {
        if (!s.raw) continue;
        json_open(&w, nullptr, '{');
        json_string(&w, "recording", s.stem.c_str());
        json_string(&w, "from_utc", utc_text(s.first_s).c_str());
        json_string(&w, "to_utc", utc_text(s.last_s + 1.0).c_str());
        json_close(&w, '}');
    }
    json_close(&w, ']');
    json_close(&w, '}');
    json_close(&w, '}');
    std::fputc('\n', out);
    return std::ferror(out) ? (errno ? errno : EIO) : 0;
}

}  // namespace

bool read_summary(const char* path, double from_s, double to_s, summary_read* read) {
    *read = summary_read{0, 0, -1, {}, {}, infinity, -infinity, 0, 0};
    errno = 0;
    gzFile packed = gzopen(path, "rb");
    if (!packed) {
        read->open_error = errno ? errno : ENOMEM;
        return false;
    }
    gzbuffer(packed, 1U << 16);  // fewer, larger reads; the default serves all the same
    char line[512];
    std::uint64_t n = 0;
    bool ok = true;
    while (ok && gzgets(packed, line, sizeof line)) {
        ++n;
        if (n == 1) {
            // -1 when the line is not a version line, N when it is a version
            // this reader does not know.
            read->version = parse_summary_version(line);
            ok = read->version == summary_version;
            continue;
        }
        if (n == 2) {
            ok = std::strcmp(line, summary_header_line) == 0;
            continue;
        }
        summary_line figures{};
        double t = 0.0;
        ok = parse_summary_line(line, &figures);
        if (!ok) continue;
        if (figures.start_utc[0] == '\0') {  // no provenance: no instant
            ++read->without_utc;
            continue;
        }
        ok = parse_utc(figures.start_utc, &t);
        if (ok && t >= from_s && t < to_s) add_second(read, t, figures);
    }
    int status = Z_OK;
    gzerror(packed, &status);
    gzclose(packed);
    if (ok && status != Z_OK && status != Z_STREAM_END) {
        read->open_error = EIO;
        return false;
    }
    if (ok && n < 2) ok = false, ++n;  // cut short before its header
    if (!ok) read->bad_line = n;
    return ok;
}

std::vector<history_interval> group_history(const std::vector<summary_read>& summaries,
                                            double from_s, double to_s, double length_s,
                                            double alarm) {
    std::vector<hour_of> hours;
    for (const summary_read& s : summaries)
        for (const summary_hour& h : s.hours)
            hours.push_back(hour_of{&h, s.velocities.data() + h.first_velocity});
    std::sort(hours.begin(), hours.end(), [](const hour_of& a, const hour_of& b) {
        return a.hour->start_unix_s < b.hour->start_unix_s;
    });
    std::vector<history_interval> intervals;
    if (hours.empty()) return intervals;
    const double first = std::floor(hours.front().hour->start_unix_s / length_s) * length_s;
    std::vector<double> velocities;
    std::size_t i = 0;
    for (std::uint64_t k = 0; i < hours.size(); ++k) {
        const double start = first + static_cast<double>(k) * length_s;
        const double none = std::nan("");
        history_interval v{start, length_s, 0, none, none, none, none, 0, 0.0};
        velocities.clear();
        for (; i < hours.size() && hours[i].hour->start_unix_s < start + length_s; ++i) {
            const summary_hour& h = *hours[i].hour;
            v.seconds += h.seconds;
            v.largest_peak_g = std::fmax(v.largest_peak_g, h.largest_peak_g);
            velocities.insert(velocities.end(), hours[i].velocities,
                              hours[i].velocities + h.velocities);
        }
        if (!velocities.empty()) {
            const auto extremes = std::minmax_element(velocities.begin(), velocities.end());
            v.smallest_velocity_mm_s = *extremes.first;
            v.largest_velocity_mm_s = *extremes.second;
            v.above_alarm = static_cast<std::uint64_t>(std::count_if(
                velocities.begin(), velocities.end(), [alarm](double x) { return x > alarm; }));
            const auto middle =
                velocities.begin() + static_cast<std::ptrdiff_t>(velocities.size() / 2);
            std::nth_element(velocities.begin(), middle, velocities.end());
            v.median_velocity_mm_s = *middle;
            if (velocities.size() % 2 == 0)
                v.median_velocity_mm_s =
                    (v.median_velocity_mm_s + *std::max_element(velocities.begin(), middle)) / 2;
        }
        const double shown = std::min(start + length_s, to_s) - std::max(start, from_s);
        v.missing_s = std::max(0.0, shown - static_cast<double>(v.seconds));
        intervals.push_back(v);
    }
    return intervals;
}

int history_and_write(const arguments& args) {
    const char* dir = args.inputs[0].c_str();
    history_listing listing;
    const int error = list_directory(dir, &listing);
    if (error != 0) return report_error(dir, "cannot read", error);
    double from_s = -infinity;
    double to_s = infinity;
    if (args.from_is_utc) from_s = args.from_unix_s;
    if (args.to_is_utc) to_s = args.to_unix_s;
    std::vector<std::string> paths;
    for (const std::string& name : listing.summaries)
        paths.push_back(std::string(dir) + "/" + name);
    const int refused = refuse_output_onto_summaries(args, paths);
    if (refused >= 0) return refused;
    std::vector<summary_read> reads;
    read_summaries(paths, from_s, to_s, &reads);
    std::vector<summary_span> spans;
    std::uint64_t without_utc = 0;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const summary_read& read = reads[i];
        if (summary_failed(read)) return report_summary_fault(paths[i], read);
        without_utc += read.without_utc;
        if (read.seconds == 0) continue;
        char stem[256];
        std::tm t{};
        parse_summary_name(listing.summaries[i].c_str(), stem, sizeof stem, &t);
        spans.push_back(summary_span{
            stem, read.first_s, read.last_s, read.seconds,
            std::binary_search(listing.raw_stems.begin(), listing.raw_stems.end(), stem)});
    }
    if (spans.empty()) {
        std::fprintf(stderr,
                     "acc_inspect: no second lies in the window (--from, --to): %zu summaries in "
                     "%s",
                     listing.summaries.size(), dir);
        if (without_utc > 0)
            std::fprintf(stderr, "; %" PRIu64 " seconds without a UTC instant", without_utc);
        std::fputc('\n', stderr);
        return exit_window;
    }
    double first_s = infinity, last_s = -infinity;
    for (const summary_span& s : spans) {
        first_s = std::min(first_s, s.first_s);
        last_s = std::max(last_s, s.last_s);
    }
    const double length_s = last_s - first_s <= longest_hourly_span_s ? hour_s : day_s;
    const std::vector<history_interval> intervals = group_history(
        reads, from_s, to_s, length_s, args.have_alarm ? args.alarm_mm_s : std::nan(""));
    const std::string title = std::string("acc_inspect: history of ") + dir;
    char subtitle[160];
    std::snprintf(subtitle, sizeof subtitle, "%zu summaries, seconds from %s to %s (UTC)",
                  spans.size(), utc_text(first_s).c_str(), utc_text(last_s).c_str());
    const history_picture picture{title.c_str(), subtitle,
                                  &intervals,    from_s,
                                  to_s,          args.have_alarm ? args.alarm_mm_s : std::nan("")};
    const auto json = [&](std::FILE* f) {
        return write_history_json(f, dir, spans, intervals, without_utc, args);
    };
    const auto svg = [&](std::FILE* f) { return write_history_svg(f, picture); };
    int status = write_standard_output(
        args.json_path, args.svg_path,
        [&](std::FILE* f) {
            print_report(f, dir, spans, intervals, first_s, last_s, without_utc, args);
            return 0;
        },
        json, svg);
    if (write_output(args.json_path, json) != exit_valid) status = exit_invalid;
    if (write_output(args.svg_path, svg) != exit_valid) status = exit_invalid;
    if (status != exit_valid) return status;
    for (const history_interval& v : intervals)
        if (v.above_alarm > 0) return exit_alarm;
    return exit_valid;
}
