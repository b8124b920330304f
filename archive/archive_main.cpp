// acc_archive: summarizes and compresses the finished recordings of a data
// directory and, when asked, deletes the oldest to keep room on the card.
//
// Exit status: 0 done; 1 a file could not be compressed or deleted, or a
// summary could not be written (the rest was done); 2 usage error; 3 the directory cannot be
// opened, locked or listed; 4 free space is still below --keep-free with nothing left that may be
// deleted; 5 stopped by a signal. 1 goes before 4.

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "command_line.h"
#include "compress_file.h"
#include "recording_files.h"
#include "recording_summary.h"
#include "retention.h"

#ifndef ACC_ARCHIVE_VERSION
#define ACC_ARCHIVE_VERSION "0"
#endif

namespace {

constexpr int exit_done = 0;
constexpr int exit_file_failed = 1;
constexpr int exit_directory = 3;
constexpr int exit_still_full = 4;
constexpr int exit_stopped = 5;

constexpr int most_days = 36500;

constexpr char usage_text[] =
    "usage: acc_archive [--keep-free SIZE] [--keep-days N] [--keep-events MM_S]\n"
    "                   [--keep-summary-days N] [--format compact|zst] [--level N] DIR\n"
    "       acc_archive --restore FILE\n";

void print_help() {
    std::printf(
        "%s"
        "\n"
        "Compresses every finished recording of acc_recorder in DIR into a .csv.acz\n"
        "file (the compact form, acc_compact(5)), checks that it decodes to exactly\n"
        "the original, forces it to storage and only then removes the original. Just\n"
        "before, it writes the recording's summary, ai0_summary_*.csv.gz: the\n"
        "figures of acc_inspect's trend per second (acc_summary(5)). The\n"
        "file being recorded (its recorder holds a lock on it), compressed files,\n"
        "provenance files (.json) and anything that is not a recording are left\n"
        "alone. Nothing is deleted unless asked for, and a summary never goes with its\n"
        "recording:\n"
        "\n"
        "  --keep-free SIZE  while free space is below SIZE, delete the oldest\n"
        "                    recording (by start time) with its provenance file;\n"
        "                    SIZE in bytes with K, M, G or T (powers of 1024), or a\n"
        "                    percentage of the filesystem such as 10%%\n"
        "  --keep-days N     delete recordings that ended more than N days ago\n"
        "  --keep-events MM_S  keep the recordings whose summary has a second with a\n"
        "                    velocity RMS above MM_S mm/s (or that have no summary):\n"
        "                    --keep-days leaves them, --keep-free takes them only\n"
        "                    once every other recording is gone\n"
        "  --keep-summary-days N  delete the summaries of deleted recordings that\n"
        "                    started more than N days ago (default: keep them all)\n"
        "  --format F        compact (default): .csv.acz, which acc_inspect reads;\n"
        "                    zst: .csv.zst, which zstd alone opens\n"
        "  --level N         zstd's level for --format zst, %d to %d (default %d)\n"
        "  --restore FILE    write the recording an archived FILE holds (.csv.acz,\n"
        "                    .csv.zst or .csv.gz) to standard output, byte for byte\n"
        "  --help            show this help\n"
        "  --version         show the version\n"
        "\n"
        "One line per file compressed or deleted, then a summary. A second run on the\n"
        "same DIR waits for the first to finish.\n"
        "\n"
        "Exit status: 0 done, 1 a file could not be compressed or deleted (the rest\n"
        "was done), 2 usage error, 3 DIR cannot be opened, locked or listed, 4 free\n"
        "space still below --keep-free with nothing left that may be deleted, 5\n"
        "stopped by a signal.\n",
        usage_text, lowest_level, highest_level, default_level);
}

int usage_error(const std::string& message) {
    return report_usage_error("acc_archive", usage_text, message.c_str(), nullptr);
}

// "--level: a level from 1 to 19, not '20'"
int bad_value(const char* option, const char* expected, const char* value) {
    return usage_error(std::string("--") + option + ": " + expected + ", not '" + value + "'");
}

struct arguments {
    const char* dir;
    const char* keep_free_text;  // nullptr: no free-space retention
    double keep_free_bytes;      // when not a percentage
    double keep_free_percent;    // > 0: a percentage of the filesystem
    int keep_days;               // 0: no age retention
    int keep_summary_days;       // 0: summaries kept
    event_rule keep_events;
    int level;
    archive_format format;
    const char* restore_path;  // --restore: nothing else is done
};

// "<number>[K|M|G|T]" or "<number>%".
bool parse_size(const char* text, double* bytes, double* percent) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || !std::isfinite(value) || !(value > 0.0) || *text == '+' || *text == ' ')
        return false;
    if (*end == '%') {
        if (end[1] != '\0' || !(value < 100.0)) return false;
        *percent = value;
        *bytes = 0.0;
        return true;
    }
    constexpr char units[] = "KkMmGgTt";  // 1024 to the first to fourth power
    const char* unit = *end != '\0' ? std::strchr(units, *end) : nullptr;
    if (*end != '\0' && (!unit || end[1] != '\0')) return false;
    const int power = unit ? static_cast<int>((unit - units) / 2 + 1) : 0;
    *bytes = std::ceil(std::ldexp(value, 10 * power));
    *percent = 0.0;
    return true;
}

// A finite number of mm/s, 0 or more.
bool parse_velocity(const char* text, double* mm_s) {
    char* end = nullptr;
    *mm_s = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(*mm_s) && *mm_s >= 0.0 && *text != '+' &&
           *text != ' ';
}

bool parse_int(const char* text, int lowest, int highest, int* value) {
    unsigned long long n = 0;
    const bool whole = parse_whole(text, static_cast<unsigned long long>(lowest),
                                   static_cast<unsigned long long>(highest), &n);
    if (whole) *value = static_cast<int>(n);
    return whole;
}

enum option_id {
    option_keep_free = 1,
    option_keep_days,
    option_keep_summary_days,
    option_keep_events,
    option_level,
    option_format,
    option_restore,
    option_help,
    option_version
};

constexpr option long_options[] = {
    {"keep-free", required_argument, nullptr, option_keep_free},
    {"keep-days", required_argument, nullptr, option_keep_days},
    {"keep-summary-days", required_argument, nullptr, option_keep_summary_days},
    {"keep-events", required_argument, nullptr, option_keep_events},
    {"level", required_argument, nullptr, option_level},
    {"format", required_argument, nullptr, option_format},
    {"restore", required_argument, nullptr, option_restore},
    {"help", no_argument, nullptr, option_help},
    {"version", no_argument, nullptr, option_version},
    {nullptr, 0, nullptr, 0},
};

// Returns -1 to go on, else the exit status.
int parse_arguments(int argc, char** argv, arguments* args) {
    *args = arguments{
        nullptr, nullptr, 0.0, 0.0, 0, 0, {false, 0.0}, default_level, archive_format::compact,
        nullptr};
    bool given[option_restore + 1] = {};  // each option with a value once at most
    opterr = 0;
    for (;;) {
        const int id = getopt_long(argc, argv, ":h", long_options, nullptr);
        if (id == -1) break;
        const char* value = optarg;
        if (id >= option_keep_free && id <= option_restore) {
            if (given[id])
                return usage_error(std::string("--") + long_option_name(long_options, id) +
                                   " given twice");
            given[id] = true;
        }
        switch (id) {
            case 'h':
            case option_help:
                print_help();
                return exit_done;
            case option_version:
                return print_version("acc_archive", ACC_ARCHIVE_VERSION);
            case option_keep_free:
                if (!parse_size(value, &args->keep_free_bytes, &args->keep_free_percent))
                    return bad_value("keep-free", "a size such as 500M, 4G or 10%", value);
                args->keep_free_text = value;
                break;
            case option_keep_days:
                if (!parse_int(value, 1, most_days, &args->keep_days))
                    return bad_value("keep-days", "a whole number of days from 1 to 36500", value);
                break;
            case option_keep_summary_days:
                if (!parse_int(value, 1, most_days, &args->keep_summary_days))
                    return bad_value("keep-summary-days", "a whole number of days from 1 to 36500",
                                     value);
                break;
            case option_keep_events:
                args->keep_events.given = true;
                if (!parse_velocity(value, &args->keep_events.above_mm_s))
                    return bad_value("keep-events", "a velocity RMS in mm/s such as 4.5", value);
                break;
            case option_level:
                if (!parse_int(value, lowest_level, highest_level, &args->level))
                    return bad_value("level", "a level from 1 to 19", value);
                break;
            case option_format:
                if (std::strcmp(value, "compact") == 0)
                    args->format = archive_format::compact;
                else if (std::strcmp(value, "zst") == 0)
                    args->format = archive_format::zst;
                else
                    return bad_value("format", "compact or zst", value);
                break;
            case option_restore:
                args->restore_path = value;
                break;
            case ':':
                return usage_error(std::string("--") + long_option_name(long_options, optopt) +
                                   " needs a value");
            default:
                return usage_error(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (args->restore_path) {
        if (optind < argc)
            return usage_error(std::string("--restore takes no directory: ") + argv[optind]);
        for (int id = option_keep_free; id < option_restore; ++id)
            if (given[id]) return usage_error("--restore goes alone");
        return -1;
    }
    if (optind >= argc) return usage_error("no directory given");
    if (optind + 1 < argc)
        return usage_error(std::string("more than one directory: ") + argv[optind + 1]);
    args->dir = argv[optind];
    return -1;
}

// "12.3 GiB"
std::string size_text(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

// The files of a recording that are there, comma-separated.
std::string file_list(const recording& rec) {
    std::string names;
    auto add = [&names](const std::string& name) { names += (names.empty() ? "" : ", ") + name; };
    if (rec.data == data_state::finished) add(rec.stem + data_file_name_suffix);
    if (rec.compressed) add(archived_name(rec));
    if (rec.sidecar) add(rec.stem + provenance_suffix);
    return names;
}

struct run_counts {
    int compressed;
    int deleted;
    int failed;
    int being_recorded;
    double original_bytes;
    double compressed_bytes;
};

bool free_space(int dir_fd, double* free_bytes, double* total_bytes) {
    struct statvfs fs {};
    if (fstatvfs(dir_fd, &fs) != 0) return false;
    *free_bytes = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize);
    *total_bytes = static_cast<double>(fs.f_blocks) * static_cast<double>(fs.f_frsize);
    return true;
}

enum class summary_outcome { written, failed, stopped };

// The summary of a recording that has none, from its file `name`.
summary_outcome summarize(int dir_fd, const recording& rec, const std::string& name,
                          run_counts* counts, bool* no_room) {
    summary_result result{};
    const int error = write_summary(dir_fd, rec.stem, name, &stop_signal, &result);
    if (error == EINTR && stop_signal) {
        std::fprintf(stderr, "acc_archive: stopped; %s is left as it was\n", name.c_str());
        return summary_outcome::stopped;
    }
    if (error != 0) {
        std::fprintf(stderr,
                     "acc_archive: cannot write the summary of %s (%s: %s); the original is "
                     "kept\n",
                     name.c_str(), result.failed_step, std::strerror(error));
        ++counts->failed;
        *no_room = error == ENOSPC || error == EDQUOT;
        return summary_outcome::failed;
    }
    return summary_outcome::written;
}

// Returns false when stopped by a signal.
bool compress_all(int dir_fd, const arguments& args, std::vector<recording>* recordings,
                  run_counts* counts) {
    std::size_t waiting = 0;
    bool no_room = false;
    for (const recording& rec : *recordings) {
        if (rec.data == data_state::being_recorded) ++counts->being_recorded;
        // Archived before summaries were written: its summary from the archived file.
        const bool archived_only = rec.data == data_state::absent && rec.compressed;
        if (archived_only && !rec.summary && !no_room && compressed_is_recorders(dir_fd, rec)) {
            const std::string name = archived_name(rec);
            const summary_outcome outcome = summarize(dir_fd, rec, name, counts, &no_room);
            if (outcome == summary_outcome::stopped) return false;
            if (outcome == summary_outcome::written)
                std::printf("summarized %s -> %s\n", name.c_str(), summary_name(rec).c_str());
        }
        if (rec.data != data_state::finished) continue;
        if (no_room) {
            ++waiting;
            continue;
        }
        const std::string name = rec.stem + data_file_name_suffix;
        if (!rec.summary) {
            const summary_outcome outcome = summarize(dir_fd, rec, name, counts, &no_room);
            if (outcome == summary_outcome::stopped) return false;
            if (outcome == summary_outcome::failed) continue;
        }
        compress_result result{};
        int error =
            compress_recording(dir_fd, rec.stem, args.format, args.level, &stop_signal, &result);
        if (error == EINTR && stop_signal) {
            std::fprintf(stderr, "acc_archive: stopped; %s is left as it was\n", name.c_str());
            return false;
        }
        if (error != 0) {
            std::fprintf(stderr, "acc_archive: cannot compress %s (%s: %s); the original is kept\n",
                         name.c_str(), result.failed_step, std::strerror(error));
            ++counts->failed;
            no_room = error == ENOSPC || error == EDQUOT;
            continue;
        }
        const double ratio = result.compressed_bytes > 0
                                 ? static_cast<double>(result.original_bytes) /
                                       static_cast<double>(result.compressed_bytes)
                                 : 0.0;
        std::printf("compressed %s -> %s%s (ratio %.1fx)\n", name.c_str(), name.c_str(),
                    args.format == archive_format::compact ? compact_suffix : compressed_zst_suffix,
                    ratio);
        ++counts->compressed;
        counts->original_bytes += static_cast<double>(result.original_bytes);
        counts->compressed_bytes += static_cast<double>(result.compressed_bytes);
    }
    if (waiting > 0)
        std::fprintf(stderr,
                     "acc_archive: no room left to compress; %zu more wait for the next run\n",
                     waiting);
    return true;
}

// Deletes a recording, unless its archived file is not the recorder's. True
// when it is gone.
bool delete_one(int dir_fd, const recording& rec, const char* reason, run_counts* counts) {
    if (!compressed_is_recorders(dir_fd, rec)) return false;
    const std::string names = file_list(rec);
    int error = delete_recording(dir_fd, rec);
    if (error != 0) {
        std::fprintf(stderr, "acc_archive: cannot delete %s: %s\n", names.c_str(),
                     std::strerror(error));
        ++counts->failed;
        return false;
    }
    std::printf("deleted %s (%s)\n", names.c_str(), reason);
    ++counts->deleted;
    return true;
}

// --keep-events: what each recording that may go has above the level,
// from its summary; a summary that cannot be read leaves it unknown.
void read_events(int dir_fd, std::vector<recording>* recordings) {
    for (recording& rec : *recordings)
        if (rec.summary && may_delete(rec))
            summary_highest_velocity(dir_fd, summary_name(rec), &rec.highest_velocity_mm_s);
}

// --keep-summary-days, once the recordings that go in this run are gone.
void expire_summaries(int dir_fd, const arguments& args, const std::vector<recording>& recordings,
                      const std::vector<bool>& gone, run_counts* counts) {
    const double now_s = static_cast<double>(std::time(nullptr));
    for (std::size_t i : expired_summaries(recordings, gone, args.keep_summary_days, now_s)) {
        const std::string name = summary_name(recordings[i]);
        const int error = delete_summary(dir_fd, recordings[i]);
        if (error != 0) {
            std::fprintf(stderr, "acc_archive: cannot delete %s: %s\n", name.c_str(),
                         std::strerror(error));
            ++counts->failed;
            continue;
        }
        std::printf("deleted %s (summary older than %d day%s)\n", name.c_str(),
                    args.keep_summary_days, args.keep_summary_days == 1 ? "" : "s");
        ++counts->deleted;
    }
}

// Deletes for room; returns the exit status so far: done, stopped, or still full.
int keep_free(int dir_fd, const arguments& args, const std::vector<recording>& recordings,
              std::vector<bool>* gone, run_counts* counts) {
    double free_bytes = 0.0, total_bytes = 0.0;
    if (!free_space(dir_fd, &free_bytes, &total_bytes)) {
        std::fprintf(stderr, "acc_archive: cannot tell the free space of %s: %s\n", args.dir,
                     std::strerror(errno));
        ++counts->failed;
        return exit_done;
    }
    const double wanted =
        wanted_free_bytes(args.keep_free_bytes, args.keep_free_percent, total_bytes);
    const std::string reason = std::string("free space below ") + args.keep_free_text;
    const double free_at_start = free_bytes;
    double freed = 0.0;
    std::vector<bool> tried = *gone;  // not again, whatever came of it
    for (std::size_t i = next_for_room(recordings, tried, free_bytes, wanted, args.keep_events);
         i < recordings.size();
         i = next_for_room(recordings, tried, free_bytes, wanted, args.keep_events)) {
        if (stop_signal) return exit_stopped;
        const recording& rec = recordings[i];
        tried[i] = true;
        (*gone)[i] = delete_one(dir_fd, rec, reason.c_str(), counts);
        if (!(*gone)[i]) continue;
        freed += static_cast<double>(rec.bytes_on_disk);
        double measured = 0.0;
        if (!free_space(dir_fd, &measured, &total_bytes)) measured = 0.0;
        free_bytes = free_after(measured, free_at_start, freed);
    }
    if (free_bytes >= wanted) return exit_done;
    std::fprintf(stderr,
                 "acc_archive: free space %s is still below %s: nothing left that may be deleted\n",
                 size_text(free_bytes).c_str(), args.keep_free_text);
    return exit_still_full;
}

// Returns the exit status so far: done, stopped, or still full.
int keep_room(int dir_fd, const arguments& args, std::vector<recording>* recordings,
              run_counts* counts) {
    if (args.keep_events.given) read_events(dir_fd, recordings);
    std::vector<bool> gone(recordings->size(), false);
    if (args.keep_days > 0) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "older than %d day%s", args.keep_days,
                      args.keep_days == 1 ? "" : "s");
        const double now_s = static_cast<double>(std::time(nullptr));
        for (std::size_t i :
             expired_recordings(*recordings, args.keep_days, now_s, args.keep_events)) {
            if (stop_signal) return exit_stopped;
            gone[i] = delete_one(dir_fd, (*recordings)[i], reason, counts);
        }
    }
    int status = exit_done;
    if (args.keep_free_text) status = keep_free(dir_fd, args, *recordings, &gone, counts);
    if (status == exit_stopped || stop_signal) return exit_stopped;
    if (args.keep_summary_days > 0) expire_summaries(dir_fd, args, *recordings, gone, counts);
    return status;
}

// False, reported, when the directory cannot be listed.
bool list_directory(int dir_fd, const char* dir, std::vector<recording>* recordings,
                    std::vector<std::string>* temporaries) {
    const int error = scan_directory(dir_fd, recordings, temporaries);
    if (error != 0)
        std::fprintf(stderr, "acc_archive: cannot list %s: %s\n", dir, std::strerror(error));
    return error == 0;
}

// Everything once the directory is open and locked.
int archive_directory(int dir_fd, const arguments& args, run_counts* counts) {
    std::vector<recording> recordings;
    std::vector<std::string> temporaries;
    if (!list_directory(dir_fd, args.dir, &recordings, &temporaries)) return exit_directory;
    // Left by a run that was cut short: its original is still there.
    for (const std::string& name : temporaries) {
        const int error = remove_temporary(dir_fd, name);
        if (error == 0) {
            std::printf("removed stale temporary %s\n", name.c_str());
        } else {
            std::fprintf(stderr, "acc_archive: cannot remove %s: %s\n", name.c_str(),
                         std::strerror(error));
            ++counts->failed;
        }
    }
    if (!temporaries.empty()) sync_directory_fd(dir_fd);

    if (!compress_all(dir_fd, args, &recordings, counts)) return exit_stopped;
    if (!args.keep_free_text && args.keep_days == 0 && args.keep_summary_days == 0)
        return exit_done;
    // Sizes and names as they are after compressing.
    if (!list_directory(dir_fd, args.dir, &recordings, &temporaries)) return exit_directory;
    return keep_room(dir_fd, args, &recordings, counts);
}

// --restore: the recording to standard output.
int restore_to_stdout(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "acc_archive: cannot open %s: %s\n", path, std::strerror(errno));
        return exit_file_failed;
    }
    restore_result result{};
    const int error = restore_recording(fd, STDOUT_FILENO, &result);
    close(fd);
    if (error == 0) return exit_done;
    if (result.damaged_frames > 0)
        std::fprintf(stderr, "acc_archive: %s: %s; %d damaged frame%s left out, the rest written\n",
                     path, result.first_damage, result.damaged_frames,
                     result.damaged_frames == 1 ? "" : "s");
    else if (result.first_damage)
        std::fprintf(stderr, "acc_archive: %s: %s\n", path, result.first_damage);
    else if (error == EBADMSG && result.bytes_written == 0 &&
             std::strcmp(result.failed_step, "read") == 0)
        std::fprintf(stderr, "acc_archive: %s: not an archived recording (compact, zstd or gzip)\n",
                     path);
    else
        std::fprintf(stderr, "acc_archive: cannot restore %s (%s: %s)\n", path, result.failed_step,
                     std::strerror(error));
    return exit_file_failed;
}

}  // namespace

int main(int argc, char** argv) {
    arguments args{};
    int status = parse_arguments(argc, argv, &args);
    if (status >= 0) return status;
    if (args.restore_path) return restore_to_stdout(args.restore_path);
    // Each line reaches the journal as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // A wait for the directory's lock ends at the signal.
    catch_stop_signals({SIGINT, SIGTERM, SIGHUP});

    int dir_fd = open(args.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        std::fprintf(stderr, "acc_archive: cannot open %s: %s\n", args.dir, std::strerror(errno));
        return exit_directory;
    }
    // One run at a time per directory; a second waits for the first.
    int locked = flock(dir_fd, LOCK_EX | LOCK_NB);
    if (locked != 0 && errno == EWOULDBLOCK) {
        std::fprintf(stderr, "acc_archive: another run is archiving %s; waiting for it\n",
                     args.dir);
        do {
            locked = flock(dir_fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR && !stop_signal);
    }
    if (locked != 0) {
        status = stop_signal ? exit_stopped : exit_directory;
        if (!stop_signal)
            std::fprintf(stderr, "acc_archive: cannot lock %s: %s\n", args.dir,
                         std::strerror(errno));
        close(dir_fd);
        return status;
    }

    run_counts counts{};
    status = archive_directory(dir_fd, args, &counts);
    if (status != exit_directory) {
        double free_bytes = 0.0, total_bytes = 0.0;
        std::string room = free_space(dir_fd, &free_bytes, &total_bytes)
                               ? size_text(free_bytes) + " free"
                               : std::string("free space unknown");
        std::printf(
            "Summary: %d compressed (%s -> %s), %d deleted, %d failed, %d being recorded; %s\n",
            counts.compressed, size_text(counts.original_bytes).c_str(),
            size_text(counts.compressed_bytes).c_str(), counts.deleted, counts.failed,
            counts.being_recorded, room.c_str());
    }
    close(dir_fd);  // releases the lock
    if ((status == exit_done || status == exit_still_full) && counts.failed > 0)
        return exit_file_failed;
    return status;
}
