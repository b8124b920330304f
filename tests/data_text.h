// Data files' and provenance files' text as the recorder writes them, for
// the tests that make recordings of their own.
#ifndef ACC_TESTS_DATA_TEXT_H
#define ACC_TESTS_DATA_TEXT_H

#include <string>

#include "data_file.h"

inline std::string row_text(double time_s, double volt, double sensitivity_v_per_g = 0.5) {
    char out[max_row_size];
    return std::string(out, format_row(out, time_s, volt, sensitivity_v_per_g));
}

// The header and `count` rows, the n-th at time_of(n) s and of volt_of(n) V,
// asked for in that order.
template <typename times, typename volts>
std::string timed_rows_text(int count, times time_of, volts volt_of,
                            double sensitivity_v_per_g = 0.5) {
    std::string content = data_file_header;
    for (int n = 0; n < count; ++n) {
        const double time_s = time_of(n);
        content += row_text(time_s, volt_of(n), sensitivity_v_per_g);
    }
    return content;
}

// The header and `count` rows 0.1 ms apart from `first_s`, the n-th of volt(n) volts.
template <typename volts>
std::string rows_text(int count, volts volt, double first_s = 0.0) {
    return timed_rows_text(
        count, [first_s](int n) { return first_s + n * 1e-4; }, volt);
}

inline std::string rows_text(int count, double volt, double first_s = 0.0) {
    return rows_text(
        count, [volt](int) { return volt; }, first_s);
}

constexpr char run_a[] = "0123456789abcdef0123456789abcdef";

// The provenance the recorder writes beside each file of a run.
inline std::string provenance_of(const char* run_id, int segment, const std::string& previous,
                                 const char* start_utc = "2026-12-08T01:59:59.900000Z",
                                 const char* settings = "{}") {
    return std::string("{\"format\": \"acc_recorder data file 1\", \"run_id\": \"") + run_id +
           "\", \"segment\": " + std::to_string(segment) +
           ", \"previous\": " + (previous.empty() ? "null" : "\"" + previous + "\"") +
           ", \"start_utc\": \"" + start_utc +
           "\", \"clock\": {\"synchronized\": true, "
           "\"max_error_us\": 16000, \"est_error_us\": 500}, \"settings\": " +
           settings + "}\n";
}

#endif
