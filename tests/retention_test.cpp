// Which recordings --keep-days and --keep-free pick, and in what order, and
// which summaries --keep-summary-days picks, on a directory's scan made up in
// the test.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "retention.h"

namespace {

constexpr double now_s = 1.0e9;
constexpr double day_s = 86400.0;

// Started an hour before it ended; with its summary, whose highest velocity
// RMS is `velocity` (NaN: no summary).
recording made(const char* stem, data_state data, bool compressed, double ended_days_ago,
               std::uint64_t bytes, double velocity = 1.0) {
    const double end_s = now_s - ended_days_ago * day_s;
    recording rec{stem,    data,           compressed,
                  true,    end_s - 3600.0, static_cast<std::time_t>(end_s),
                  bytes,   compressed,     !std::isnan(velocity),
                  velocity};
    return rec;
}

constexpr double none = NAN;

struct policy {
    int keep_days;
    double free_bytes, wanted;
    double keep_events;  // NaN: not given
    int keep_summary_days;
};

// What the policy deletes when every deletion succeeds and the filesystem
// shows none of the space freed yet: "stem age", "stem room" or "stem
// summary" each.
std::vector<std::string> deleted(const std::vector<recording>& recordings, policy asked) {
    const event_rule events{!std::isnan(asked.keep_events), asked.keep_events};
    double free_bytes = asked.free_bytes;
    std::vector<std::string> names;
    std::vector<bool> gone(recordings.size(), false);
    if (asked.keep_days > 0)
        for (std::size_t i : expired_recordings(recordings, asked.keep_days, now_s, events)) {
            gone[i] = true;
            names.push_back(recordings[i].stem + " age");
        }
    const double free_at_start = free_bytes;
    double freed = 0.0;
    for (std::size_t i = next_for_room(recordings, gone, free_bytes, asked.wanted, events);
         i < recordings.size();
         i = next_for_room(recordings, gone, free_bytes, asked.wanted, events)) {
        gone[i] = true;
        freed += static_cast<double>(recordings[i].bytes_on_disk);
        free_bytes = free_after(free_at_start, free_at_start, freed);
        names.push_back(recordings[i].stem + " room");
    }
    if (asked.keep_summary_days > 0)
        for (std::size_t i : expired_summaries(recordings, gone, asked.keep_summary_days, now_s))
            names.push_back(recordings[i].stem + " summary");
    return names;
}

TEST(Retention, DeletesTheOldestFinishedRecordingsAndNeverOneBeingRecordedOrNotTheRecorders) {
    constexpr data_state finished = data_state::finished, live = data_state::being_recorded,
                         foreign = data_state::not_recording, absent = data_state::absent;
    struct row {
        const char* what;
        std::vector<recording> recordings;  // oldest start first, as scanned
        policy asked;
        std::vector<std::string> deleted;
    };
    const row rows[] = {
        {"by age: ended before the limit, a compressed file alone too; never what is "
         "recorded, not the recorder's or a lone provenance file",
         {made("old", finished, false, 8, 10), made("edge", finished, true, 7, 10),
          made("live", live, false, 30, 10), made("foreign", foreign, false, 30, 10),
          made("lone", absent, false, 30, 10), made("packed", absent, true, 9, 10),
          made("young", finished, false, 1, 10)},
         {7, 0, 0, none, 0},
         {"old age", "packed age"}},
        {"for room: oldest first until the space is there, skipping what is recorded",
         {made("a", finished, false, 0, 100), made("live", live, false, 0, 1000),
          made("b", finished, true, 0, 100), made("c", finished, false, 0, 100)},
         {0, 100, 250, none, 0},
         {"a room", "b room"}},
        {"for room: exactly enough stops",
         {made("a", finished, false, 0, 100), made("b", finished, false, 0, 100)},
         {0, 100, 200, none, 0},
         {"a room"}},
        {"for room: none when there is room",
         {made("a", finished, false, 0, 100)},
         {0, 300, 200, none, 0},
         {}},
        {"for room after age: what went by age is not taken twice",
         {made("x", finished, false, 10, 50), made("y", finished, false, 0, 100),
          made("z", finished, false, 0, 100)},
         {7, 0, 80, none, 0},
         {"x age", "y room"}},
        {"for room: nothing that may go",
         {made("live", live, false, 0, 100), made("lone", absent, false, 0, 100)},
         {0, 0, 100, none, 0},
         {}},
        {"--keep-events for room: plain ones oldest first, then events oldest first; no "
         "summary, nothing known: an event; at the level is not above it",
         {made("e", finished, true, 9, 100, 7.5), made("p", absent, true, 8, 100, 4.5),
          made("n", finished, false, 7, 100, none), made("q", finished, false, 6, 100, 0.0),
          made("f", finished, false, 5, 100, 2.0)},
         {0, 0, 450, 4.5, 0},
         {"p room", "q room", "f room", "e room", "n room"}},
        {"--keep-events by age: events stay, plain ones go",
         {made("e", finished, true, 9, 100, 7.5), made("n", absent, true, 9, 100, none),
          made("p", finished, false, 9, 100, 1.0)},
         {7, 0, 0, 4.5, 0},
         {"p age"}},
        {"--keep-events, room enough once the plain ones are gone: every event stays",
         {made("e", finished, false, 9, 100, 9.0), made("p", finished, false, 1, 100, 1.0)},
         {0, 0, 100, 4.5, 0},
         {"p room"}},
        {"--keep-summary-days: those of recordings gone, before or now, that started before "
         "the limit; never one whose recording is there",
         {made("lone_old", absent, false, 10, 0), made("old", finished, false, 10, 100),
          made("kept", finished, false, 10, 100), made("lone_young", absent, false, 3, 0),
          made("none", absent, true, 10, 100, none)},
         {0, 0, 100, none, 5},
         {"old room", "lone_old summary", "old summary"}},
    };
    for (const row& r : rows) EXPECT_EQ(deleted(r.recordings, r.asked), r.deleted) << r.what;
}

TEST(Retention, FreeSpaceWantedAndCounted) {
    EXPECT_EQ(wanted_free_bytes(500.0, 10.0, 4000.0), 400.0) << "a percentage of the filesystem";
    EXPECT_EQ(wanted_free_bytes(500.0, 0.0, 4000.0), 500.0);
    EXPECT_EQ(free_after(900.0, 100.0, 300.0), 900.0) << "more freed than deleted: measured";
    EXPECT_EQ(free_after(100.0, 100.0, 300.0), 400.0) << "space still held counts as freed";
}

}  // namespace
