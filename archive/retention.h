// Which recordings --keep-days and --keep-free delete, and in what order,
// decided from the directory's scan alone; the deleting is the caller's.
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

// Those that may go and ended more than `keep_days` days before `now_s`, in
// the order of `recordings` (oldest start first).
std::vector<std::size_t> expired_recordings(const std::vector<recording>& recordings, int keep_days,
                                            double now_s);

// The free space --keep-free asks for: `percent` of `total_bytes` when it is
// above 0, else `bytes`.
double wanted_free_bytes(double bytes, double percent, double total_bytes);

// The next to delete for room: the first at or after `from` that may go and
// is not `gone`, while `free_bytes` is below `wanted`; recordings.size()
// when there is none or room enough.
std::size_t next_for_room(const std::vector<recording>& recordings, const std::vector<bool>& gone,
                          std::size_t from, double free_bytes, double wanted);

// The free space after deleting `freed` bytes' worth: as measured, but at
// least what was free before plus what was freed. Space a deleted file
// still holds (someone has it open, or the filesystem frees it later) is
// counted as freed, so that it does not cost another recording.
double free_after(double measured, double free_at_start, double freed);

#endif
