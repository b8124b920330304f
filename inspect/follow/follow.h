// Following a recording while the recorder writes it: the rows already in
// the file, then each row as it is written, checked and analysed by the same
// pass as a whole inspection, so that every interval's figures are those a
// later inspection of the finished files gives. It waits on inotify (on a
// slow poll where there is none), goes on into the run's next file at a
// switch, says when a file the recorder holds stops growing, and ends once
// the recorder has let go of its last file.
//
// Nothing here prints: follow_next hands each event to the caller.
#ifndef ACC_INSPECT_FOLLOW_H
#define ACC_INSPECT_FOLLOW_H

#include "csv_reader.h"
#include "inspect_run.h"
#include "run_files.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

// A file the recorder holds that has not grown for this long is stalled; a
// run whose last file the recorder let go of ends when no next file has
// appeared for this long.
constexpr double follow_stall_s = 3.0;
constexpr double follow_end_s = 3.0;

enum class follow_event {
    interval,   // an interval closed: `interval`
    caught_up,  // every row written so far is read; the next event waits
    stalled,    // the file has not grown for follow_stall_s while held
    next_file,  // the run goes on in `path`
    ended,      // the recorder let go of the run's last file; the last interval is reported;
                // result->tail says whether the recording was interrupted
    stopped,    // `stop` was set
    failed,     // a fault in `path`: `open_error`, or the reader's `failure`
};

struct follow_state {
    inspect_config config;
    const volatile std::sig_atomic_t* stop;
    inspect_result* result;  // nullptr: not allocated
    row_pass pass;
    bool pass_ready;
    part_summary part;  // of the file being read
    csv_reader reader;
    bool reader_open;
    char dir[4096];
    char path[4096];       // of the file being read
    char next_path[4096];  // once found: the file the run goes on in
    provenance prov;       // of the first file, read again until it is there
    run_clock clock;
    std::uint32_t files;  // read so far, this one included
    int notify_fd;        // -1: polling
    bool waiting;         // the reader is at the end written so far
    bool reported_caught_up;
    bool stall_reported;
    double last_growth_s;  // monotonic
    double released_s;     // monotonic time the lock was first seen free; < 0: held
    bool announce_file;    // next_file is still to be reported
    bool finishing;        // reading the file to its end, no more waiting
    bool done;             // the last interval is closed: report what is left, then `ended`
    std::size_t reported;  // of result->trend.intervals
    int open_error;
};

struct follow_report {
    follow_event event;
    const trend_interval* interval;  // with interval: valid until the next call
    const char* path;
};

// A watch on `dir` for files written, made or moved in: an inotify
// descriptor to close, or -1 where there is none.
int watch_directory(const char* dir);

// Waits until the watch sees a change, half a second at most, or without
// one (-1) a quarter of a second; a signal cuts the wait short.
void wait_on_directory(int notify_fd);

// Starts on `first`, the first file of the run. Returns 0 or an errno value
// (ENOMEM, or the rows' analysis refused); release with follow_free on
// every path.
int follow_start(follow_state* f, const run_file& first, const inspect_config& config,
                 const volatile std::sig_atomic_t* stop);

// Waits for the next event. After ended, stopped or failed it returns the
// same again.
follow_report follow_next(follow_state* f);

void follow_free(follow_state* f);

#endif
