#include "retention.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double seconds_per_day = 86400.0;

}  // namespace

bool may_delete(const recording& rec) {
    if (rec.data == data_state::absent) return rec.compressed;  // else a lone provenance file
    return rec.data == data_state::finished;
}

bool is_event(const recording& rec, const event_rule& events) {
    return events.given && !(rec.highest_velocity_mm_s <= events.above_mm_s);  // NaN: unknown
}

std::vector<std::size_t> expired_recordings(const std::vector<recording>& recordings, int keep_days,
                                            double now_s, const event_rule& events) {
    std::vector<std::size_t> expired;
    const double oldest_end = now_s - keep_days * seconds_per_day;
    for (std::size_t i = 0; i < recordings.size(); ++i)
        if (static_cast<double>(recordings[i].end_s) < oldest_end && may_delete(recordings[i]) &&
            !is_event(recordings[i], events))
            expired.push_back(i);
    return expired;
}

std::vector<std::size_t> expired_summaries(const std::vector<recording>& recordings,
                                           const std::vector<bool>& gone, int keep_days,
                                           double now_s) {
    std::vector<std::size_t> expired;
    const double oldest_start = now_s - keep_days * seconds_per_day;
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        const recording& rec = recordings[i];
        const bool recording_gone = gone[i] || (rec.data == data_state::absent && !rec.compressed);
        if (rec.summary && recording_gone && rec.start_s < oldest_start) expired.push_back(i);
    }
    return expired;
}

double wanted_free_bytes(double bytes, double percent, double total_bytes) {
    return percent > 0.0 ? total_bytes * percent / 100.0 : bytes;
}

std::size_t next_for_room(const std::vector<recording>& recordings, const std::vector<bool>& gone,
                          double free_bytes, double wanted, const event_rule& events) {
    if (!(free_bytes < wanted)) return recordings.size();
    for (const bool events_too : {false, true})
        for (std::size_t i = 0; i < recordings.size(); ++i)
            if (!gone[i] && may_delete(recordings[i]) &&
                (events_too || !is_event(recordings[i], events)))
                return i;
    return recordings.size();
}

double free_after(double measured, double free_at_start, double freed) {
    return std::max(measured, free_at_start + freed);
}
