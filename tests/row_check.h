// Strict, allocation-free checks of data rows, fast enough to stream through
// millions of them: every field must be exactly what "%.6f" prints.
#ifndef ACC_TESTS_ROW_CHECK_H
#define ACC_TESTS_ROW_CHECK_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "data_file.h"

// One finite "%.6f" field: sign, integer digits, six decimals.
struct fixed6_field {
    bool negative;
    std::uint64_t integer;
    std::uint32_t micro;
};

// Parses a field up to `stop`, rejecting anything printf would not print:
// a plus sign, leading zeros, a missing or extra decimal, exponents, spaces.
// Integers beyond 18 digits are refused: no sensor field is that long.
inline bool parse_fixed6_field(const char** cursor, const char* end, char stop,
                               fixed6_field* field) {
    const char* p = *cursor;
    field->negative = p < end && *p == '-';
    if (field->negative) ++p;
    const char* digits = p;
    field->integer = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (p - digits >= 18) return false;
        field->integer = field->integer * 10 + static_cast<std::uint64_t>(*p - '0');
        ++p;
    }
    const std::ptrdiff_t integer_digits = p - digits;
    if (integer_digits == 0 || (integer_digits > 1 && *digits == '0')) return false;
    if (end - p < 8 || *p != '.') return false;
    field->micro = 0;
    for (int i = 1; i <= 6; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        field->micro = field->micro * 10 + static_cast<std::uint32_t>(p[i] - '0');
    }
    if (p[7] != stop) return false;
    *cursor = p + 8;
    return true;
}

// The field as a signed count of millionths.
inline std::int64_t micro_units(const fixed6_field& field) {
    const std::int64_t magnitude = static_cast<std::int64_t>(field.integer) * 1000000 + field.micro;
    return field.negative ? -magnitude : magnitude;
}

// Whether the field is what snprintf("%.6f", value) prints. Below a million
// the scaled value is exact to 1e-4, so unless it lies near a half it tells
// the right millionth; otherwise snprintf decides.
inline bool field_is_fixed6_of(const fixed6_field& field, double value) {
    if (!std::isfinite(value)) return false;  // parse_fixed6_field refuses those
    if (field.negative != std::signbit(value)) return false;
    if (std::fabs(value) < 1e6) {
        const double scaled = std::fabs(value) * 1e6;
        const double printed = static_cast<double>(field.integer) * 1e6 + field.micro;
        const double distance = std::fabs(scaled - printed);
        if (distance < 0.499) return true;
        if (distance > 0.501) return false;
    }
    char expected[max_field_size + 1];
    char actual[64];
    std::snprintf(expected, sizeof expected, "%.6f", value);
    std::snprintf(actual, sizeof actual, "%s%llu.%06u", field.negative ? "-" : "",
                  static_cast<unsigned long long>(field.integer), field.micro);
    return std::strcmp(expected, actual) == 0;
}

struct parsed_row {
    fixed6_field time;
    fixed6_field volt;
    fixed6_field accel_g;
    fixed6_field accel_ms2;
};

// A whole row of finite fields, '\n' included, nothing after it.
inline bool parse_row(const char* line, std::size_t size, parsed_row* row) {
    const char* p = line;
    const char* end = line + size;
    return parse_fixed6_field(&p, end, ',', &row->time) &&
           parse_fixed6_field(&p, end, ',', &row->volt) &&
           parse_fixed6_field(&p, end, ',', &row->accel_g) &&
           parse_fixed6_field(&p, end, '\n', &row->accel_ms2) && p == end;
}

// Whether the three value fields are exactly those of `volt` at 500 mV/g.
inline bool row_values_are(const parsed_row& row, double volt) {
    const double g = volt / 0.5;
    return field_is_fixed6_of(row.volt, volt) && field_is_fixed6_of(row.accel_g, g) &&
           field_is_fixed6_of(row.accel_ms2, g * standard_gravity);
}

// The row the recorder must write for `volt` at time `time_s`, by snprintf:
// the reference for values the fast check does not cover.
inline std::string reference_row(double time_s, double volt) {
    const double g = volt / 0.5;
    char text[max_row_size + 1];
    std::snprintf(text, sizeof text, "%.6f,%.6f,%.6f,%.6f\n", time_s, volt, g,
                  g * standard_gravity);
    return text;
}

#endif
