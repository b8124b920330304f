// Which recordings --keep-days and --keep-free delete, and in what order,
// and which summaries --keep-summary-days deletes, decided from the
// directory's scan alone (with, for --keep-events, what each recording's
// summary says); the deleting is the caller's. No summary is ever deleted
// with its recording.
#ifndef ACC_RETENTION_H
#define ACC_RETENTION_H

#include <cstddef>
#include <vector>

#include "recording_files.h"

// Whether retention may pick the recording at all: its files are the
// recorder's finished work, none being recorded, no data file that is not
// a recording, not a provenance file alone. A compressed file is still read
// before it goes (is_deletable).
bool may_delete(const recording& rec);

// --keep-events: a recording that holds an interval whose velocity RMS is
// above `above_mm_s` is an event recording; so is one without a summary, or
// whose summary could not be read (highest_velocity_mm_s NaN): nothing is
// known of it.
struct event_rule {
    bool given;
    double above_mm_s;
};
bool is_event(const recording& rec, const event_rule& events);

// Those that may go and ended more than `keep_days` days before `now_s`, in
// the order of `recordings` (oldest start first). Event recordings stay.
std::vector<std::size_t> expired_recordings(const std::vector<recording>& recordings, int keep_days,
                                            double now_s, const event_rule& events);

// The free space --keep-free asks for: `percent` of `total_bytes` when it is
// above 0, else `bytes`.
double wanted_free_bytes(double bytes, double percent, double total_bytes);

// The next to delete for room while `free_bytes` is below `wanted`: the
// oldest that may go and is not `gone` (the caller marks each it tried), an
// event recording only once no other is left; recordings.size() when there
// is none or room enough.
std::size_t next_for_room(const std::vector<recording>& recordings, const std::vector<bool>& gone,
                          double free_bytes, double wanted, const event_rule& events);

// The summaries --keep-summary-days deletes: those whose recording started
// more than `keep_days` days before `now_s` and is gone (deleted before, or
// `gone` in this run). A summary whose recording is still there stays: the
// next run would write it again.
std::vector<std::size_t> expired_summaries(const std::vector<recording>& recordings,
                                           const std::vector<bool>& gone, int keep_days,
                                           double now_s);

// The free space after deleting `freed` bytes' worth: as measured, but at
// least what was free before plus what was freed. Space a deleted file
// still holds (someone has it open, or the filesystem frees it later) is
// counted as freed, so that it does not cost another recording.
double free_after(double measured, double free_at_start, double freed);

#endif
