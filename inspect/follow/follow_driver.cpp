#include "follow_driver.h"

#include "command_line.h"
#include "data_file_name.h"
#include "follow.h"
#include "follow_output.h"
#include "output_file.h"
#include "output_refusal.h"
#include "program_status.h"
#include "run_choice.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Ctrl-C and SIGTERM end a follower with its summary.
void catch_follow_signals() {
    catch_stop_signals({SIGINT, SIGTERM});
    std::signal(SIGPIPE, SIG_IGN);  // a reader gone is a write error, reported
}

// What a follower acquires, each with its "not acquired" value.
struct follow_held {
    follow_state* follow;  // nullptr: not allocated
};

// Releases what is held.
void release_follow_held(follow_held* held) {
    if (held->follow) follow_free(held->follow);
    std::free(held->follow);
    held->follow = nullptr;
}

// What a follower has shown so far, for its summary.
struct follow_tally {
    std::uint64_t intervals;
    std::uint64_t above_alarm;
    trend_interval latest;
    bool have_latest;
    bool prom_due;  // an interval since the .prom file was last written
    bool stalled;
    bool over;  // the run ended or the follower stopped
    int status;
};

// A followed run, to tell the directory's next run from it.
struct followed_run {
    bool let_go;  // the recorder let go of it: no stop, no fault
    std::string first_file;
    run_clock clock;  // as the follower learned it
};

// The interval `v` and where the run stands.
followed_interval followed(const arguments& args, const follow_state& f, const trend_interval& v) {
    const bool above = args.have_alarm && v.velocity_rms_mm_s > args.alarm_mm_s;
    return followed_interval{
        &f.result->trend, &v,   &f.clock, f.path, f.result->stats.gaps, f.result->stats.overlaps,
        args.have_alarm,  above};
}

void write_prom_file(const arguments& args, const follow_state& f, follow_tally* tally) {
    if (!args.prom_path || !tally->have_latest) return;
    const followed_interval latest = followed(args, f, tally->latest);
    tally->prom_due = false;
    if (write_output(args.prom_path, [&](std::FILE* out) {
            return write_prom(out, latest, tally->stalled,
                              args.across_runs ? (tally->over ? 0 : 1) : -1);
        }) != exit_valid)
        tally->status = exit_invalid;
}

void print_summary(std::FILE* notes, const char* how, const arguments& args, const follow_state& f,
                   const follow_tally& tally) {
    std::fprintf(notes,
                 "acc_inspect: %s: %" PRIu64 " rows in %" PRIu32 " file%s, %" PRIu64
                 " interval%s, %" PRIu64 " gap%s, %" PRIu64 " overlap%s",
                 how, f.result->stats.rows, f.files, f.files == 1 ? "" : "s", tally.intervals,
                 tally.intervals == 1 ? "" : "s", f.result->stats.gaps,
                 f.result->stats.gaps == 1 ? "" : "s", f.result->stats.overlaps,
                 f.result->stats.overlaps == 1 ? "" : "s");
    if (args.have_alarm)
        std::fprintf(notes, ", %" PRIu64 " above %g mm/s", tally.above_alarm, args.alarm_mm_s);
    std::fputc('\n', notes);
}

// Follows the run from its first file, writing as the intervals close;
// what it acquires is left in `held`. Returns the exit status.
int follow_into(const arguments& args, const run_plan& plan, const inspect_config& config,
                follow_held* held, followed_run* run) {
    held->follow = static_cast<follow_state*>(std::calloc(1, sizeof(follow_state)));
    int error =
        held->follow ? follow_start(held->follow, plan.files[0], config, &stop_signal) : ENOMEM;
    if (error != 0) return report_error(nullptr, "cannot follow", error);
    catch_follow_signals();
    const follow_state& f = *held->follow;
    const bool json_lines = args.json_path != nullptr;
    std::FILE* notes = json_lines ? stderr : stdout;  // the JSON Lines stay JSON
    if (f.open_error == 0) std::fprintf(notes, "acc_inspect: following %s\n", f.path);
    follow_tally tally{};
    for (;;) {
        const follow_report r = follow_next(held->follow);
        switch (r.event) {
            case follow_event::interval: {
                const followed_interval line = followed(args, f, *r.interval);
                error = json_lines ? write_json_line(stdout, line)
                                   : write_follow_line(stdout, line, args.alarm_mm_s);
                ++tally.intervals;
                tally.above_alarm += line.above_alarm ? 1 : 0;
                tally.latest = *r.interval;
                tally.have_latest = true;
                tally.prom_due = true;
                tally.stalled = false;
                break;
            }
            case follow_event::caught_up:
                if (tally.prom_due) write_prom_file(args, f, &tally);
                break;
            case follow_event::stalled:
                std::fprintf(notes,
                             "acc_inspect: %s: stalled, no row for %.0f s while the recorder "
                             "holds it\n",
                             r.path, follow_stall_s);
                tally.stalled = true;
                write_prom_file(args, f, &tally);
                break;
            case follow_event::next_file:
                std::fprintf(notes, "acc_inspect: following %s\n", r.path);
                break;
            case follow_event::failed:
                std::fflush(stdout);
                print_fault(r.path, f.open_error, 0, f.reader.failure, f.reader.rows);
                return exit_invalid;
            case follow_event::ended:
            case follow_event::stopped: {
                // Across runs the gauges stay, saying the run is over.
                tally.over = true;
                tally.stalled = tally.stalled && !args.across_runs;
                if (tally.prom_due || args.across_runs) write_prom_file(args, f, &tally);
                run->let_go = r.event == follow_event::ended;
                run->clock = f.clock;
                char how[128];
                describe_follow_end(r.event == follow_event::stopped, f.result->tail, how,
                                    sizeof how);
                print_summary(notes, how, args, f, tally);
                break;
            }
        }
        if (error == 0 && std::fflush(stdout) != 0) error = errno ? errno : EIO;
        if (error != 0) return report_error(nullptr, "cannot write the report", error);
        if (r.event == follow_event::ended || r.event == follow_event::stopped) break;
    }
    if (tally.status != exit_valid) return tally.status;
    return tally.above_alarm > 0 ? exit_alarm : exit_valid;
}

// Whether `seen` is a run after `run`: its run_id differs and it started
// later, by the provenance where both have it, else by the name of the
// first file (which holds its start) whatever form the archiver gave it.
bool later_run(const run_seen& seen, const followed_run& run) {
    if (run.clock.known && seen.run_id == run.clock.run_id) return false;
    if (run.clock.known && seen.start_unix_s > 0 && seen.start_unix_s != run.clock.start_unix_s)
        return seen.start_unix_s > run.clock.start_unix_s;
    const char* a = base_name(seen.first_file.c_str());
    const char* b = base_name(run.first_file.c_str());
    std::size_t a_stem = std::strlen(a);
    std::size_t b_stem = std::strlen(b);
    data_file_stem(a, &a_stem);
    data_file_stem(b, &b_stem);
    const int order = std::strncmp(a, b, std::min(a_stem, b_stem));
    return order > 0 || (order == 0 && a_stem > b_stem);
}

double modified_s(const struct stat& s) {
    return static_cast<double>(s.st_mtim.tv_sec) + static_cast<double>(s.st_mtim.tv_nsec) * 1e-9;
}

// After `run`, waits, with a note, until a later run appears in the
// directory, or Ctrl-C. The directory is looked through again only when it
// has changed: a change within a tick of the last look could hide, so a
// directory changed less than a second before it is looked through once
// more. Returns -1 with the run in `plan`, else the exit status.
int wait_for_next_run(const arguments& args, const followed_run& run, run_plan* plan) {
    const char* dir = args.follow_path;
    std::FILE* notes = args.json_path ? stderr : stdout;
    std::fprintf(notes, "acc_inspect: %s: waiting for the next run\n", dir);
    std::fflush(notes);
    const int notify_fd = watch_directory(dir);
    double looked_at_s = -1.0;  // modified time seen at the last look
    double looked_s = 0.0;      // wall-clock time of the last look
    bool found = false;
    while (!stop_signal && !found) {
        struct stat s {};
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (stat(dir, &s) != 0 || modified_s(s) != looked_at_s || looked_s - looked_at_s < 1.0) {
            looked_at_s = modified_s(s);
            looked_s = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
            plan_run(std::vector<std::string>{dir}, nullptr, plan);
            found = plan->fault == run_fault::none && later_run(plan->runs.back(), run);
        }
        if (!found) wait_on_directory(notify_fd);
    }
    if (notify_fd >= 0) close(notify_fd);
    if (found) return -1;
    std::fprintf(notes, "acc_inspect: stopped: no next run came\n");
    return exit_valid;
}

}  // namespace

int wait_for_recording(const arguments& args) {
    const char* dir = args.follow_path;
    run_plan plan;
    plan_run(std::vector<std::string>{dir}, nullptr, &plan);
    if (!is_directory(dir) || plan.fault != run_fault::no_recording) return -1;
    catch_follow_signals();
    std::FILE* notes = args.json_path ? stderr : stdout;  // the JSON Lines stay JSON
    std::fprintf(notes, "acc_inspect: %s: waiting for a recording\n", dir);
    std::fflush(notes);
    const int notify_fd = watch_directory(dir);
    while (!stop_signal && plan.fault == run_fault::no_recording) {
        wait_on_directory(notify_fd);
        plan_run(std::vector<std::string>{dir}, nullptr, &plan);
    }
    if (notify_fd >= 0) close(notify_fd);
    if (!stop_signal) return -1;
    std::fprintf(notes, "acc_inspect: stopped: no recording came\n");
    return exit_valid;
}

int follow_and_write(const arguments& args, const run_plan& plan, const inspect_config& config) {
    run_plan next = plan;
    inspect_config run_config = config;
    int worst = exit_valid;  // of the runs followed: a fault or failed write, else an alarm
    for (;;) {
        follow_held held{};
        followed_run run{};
        run.first_file = next.files[0].path;
        const int status = follow_into(args, next, run_config, &held, &run);
        release_follow_held(&held);
        if (status == exit_invalid || worst == exit_valid) worst = status;
        if (!args.across_runs || !run.let_go) return worst;
        if (wait_for_next_run(args, run, &next) >= 0) return worst;
        take_run_settings(next, &run_config);
        const int refused = refuse_output_onto_data_files(args, next);
        if (refused >= 0) return refused;
    }
}
