// Which recordings --keep-days and --keep-free pick, and in what order, on
// a directory's scan made up in the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "retention.h"

namespace {

constexpr double now_s = 1.0e9;
constexpr double day_s = 86400.0;

recording made(const char* stem, data_state data, bool compressed, double ended_days_ago,
               std::uint64_t bytes) {
    return recording{stem,  data,       compressed,
                     true,  0.0,        static_cast<std::time_t>(now_s - ended_days_ago * day_s),
                     bytes, compressed, false,
                     0};
}

struct policy {
    int keep_days;
    double free_bytes, wanted;
};

// What the policy deletes when every deletion succeeds and the filesystem
// shows none of the space freed yet: "stem age" or "stem room" each.
std::vector<std::string> deleted(const std::vector<recording>& recordings, policy asked) {
    double free_bytes = asked.free_bytes;
    std::vector<std::string> names;
    std::vector<bool> gone(recordings.size(), false);
    if (asked.keep_days > 0)
        for (std::size_t i : expired_recordings(recordings, asked.keep_days, now_s)) {
            gone[i] = true;
            names.push_back(recordings[i].stem + " age");
        }
    const double free_at_start = free_bytes;
    double freed = 0.0;
    for (std::size_t i = next_for_room(recordings, gone, 0, free_bytes, asked.wanted);
         i < recordings.size();
         i = next_for_room(recordings, gone, i + 1, free_bytes, asked.wanted)) {
        freed += static_cast<double>(recordings[i].bytes_on_disk);
        free_bytes = free_after(free_at_start, free_at_start, freed);
        names.push_back(recordings[i].stem + " room");
    }
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
         {7, 0, 0},
         {"old age", "packed age"}},
        {"for room: oldest first until the space is there, skipping what is recorded",
         {made("a", finished, false, 0, 100), made("live", live, false, 0, 1000),
          made("b", finished, true, 0, 100), made("c", finished, false, 0, 100)},
         {0, 100, 250},
         {"a room", "b room"}},
        {"for room: exactly enough stops",
         {made("a", finished, false, 0, 100), made("b", finished, false, 0, 100)},
         {0, 100, 200},
         {"a room"}},
        {"for room: none when there is room",
         {made("a", finished, false, 0, 100)},
         {0, 300, 200},
         {}},
        {"for room after age: what went by age is not taken twice",
         {made("x", finished, false, 10, 50), made("y", finished, false, 0, 100),
          made("z", finished, false, 0, 100)},
         {7, 0, 80},
         {"x age", "y room"}},
        {"for room: nothing that may go",
         {made("live", live, false, 0, 100), made("lone", absent, false, 0, 100)},
         {0, 0, 100},
         {}},
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
