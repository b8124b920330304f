#include "recording_check.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "data_format.h"
#include "program_runner.h"
#include "sim_signal.h"

namespace {

constexpr std::int64_t step_us = 100;  // 1 / 10 kHz

// One finite "%.6f" field: sign, integer digits, six decimals.
struct fixed6_field {
    bool negative;
    std::uint64_t integer;
    std::uint32_t micro;
};

// Parses a field up to `stop`, refusing anything printf would not print: a
// plus sign, leading zeros, a missing or extra decimal, exponents, spaces,
// nan and inf. Integers beyond 18 digits are refused too: the fast path
// below leaves those to snprintf.
bool parse_field(const char** cursor, const char* end, char stop, fixed6_field* field) {
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

std::int64_t micro_units(const fixed6_field& field) {
    const std::int64_t magnitude = static_cast<std::int64_t>(field.integer) * 1000000 + field.micro;
    return field.negative ? -magnitude : magnitude;
}

// Whether the field is what "%.6f" prints for `value`, without printing it
// where that is certain: below a million the scaled value is exact to 1e-4,
// so unless it lies near a half it tells the millionth.
bool field_is_certainly(const fixed6_field& field, double value) {
    if (!(std::fabs(value) < 1e6) || field.negative != std::signbit(value)) return false;
    const double scaled = std::fabs(value) * 1e6;
    const double printed = static_cast<double>(field.integer) * 1e6 + field.micro;
    return std::fabs(scaled - printed) < 0.499;
}

// The three value fields of the sample `volt`, as the recorder must write
// them: "%.6f" of the voltage, of g at 500 mV/g and of m/s^2.
std::string value_fields(double volt) {
    const double g = volt / 0.5;
    char text[3 * max_field_size + 4];
    std::snprintf(text, sizeof text, "%.6f,%.6f,%.6f\n", volt, g, g * standard_gravity);
    return text;
}

bool values_are(const char* p, const char* end, double volt) {
    fixed6_field volt_field{}, g_field{}, ms2_field{};
    const char* q = p;
    const double g = volt / 0.5;
    if (parse_field(&q, end, ',', &volt_field) && parse_field(&q, end, ',', &g_field) &&
        parse_field(&q, end, '\n', &ms2_field) && q == end &&
        field_is_certainly(volt_field, volt) && field_is_certainly(g_field, g) &&
        field_is_certainly(ms2_field, g * standard_gravity))
        return true;
    const std::string expected = value_fields(volt);
    return static_cast<std::size_t>(end - p) == expected.size() &&
           std::memcmp(p, expected.data(), expected.size()) == 0;
}

std::uint32_t rows_of(const read_call& call) {
    return call.result == 0 ? 0 : call.delivered < block_rows ? call.delivered : block_rows;
}

// The voltage the row for sample `row` of `call` stands for.
double expected_volts(const read_call& call, std::uint32_t row, const device_samples& samples) {
    if (row + samples.over_report >= call.delivered)
        return std::numeric_limits<double>::quiet_NaN();
    const std::uint64_t n = call.first + row;
    return samples.values.empty() ? sim_sample_volts(n, block_rate_hz)
                                  : samples.values[n % samples.values.size()];
}

// Moves past reads with nothing left to write.
void skip_spent_reads(const std::vector<read_call>& reads, read_position* at) {
    while (at->read < reads.size() && at->row >= rows_of(reads[at->read])) {
        ++at->read;
        at->row = 0;
    }
}

}  // namespace

std::vector<read_call> parse_reads(const std::string& log) {
    std::vector<read_call> found;
    for (const std::string& line : lines_starting_with(log, "AI_ReadAnalog ")) {
        read_call call{};
        call.result =
            static_cast<int>(std::strtol(line.c_str() + line.find("-> ") + 3, nullptr, 10));
        const std::size_t delivered = line.find("delivered=");
        if (delivered != std::string::npos)
            call.delivered = static_cast<std::uint32_t>(std::stoul(line.substr(delivered + 10)));
        const std::size_t first = line.find("first=");
        if (first != std::string::npos) call.first = std::stoull(line.substr(first + 6));
        found.push_back(call);
    }
    return found;
}

std::uint64_t delivered_rows(const std::vector<read_call>& reads) {
    std::uint64_t rows = 0;
    for (const read_call& call : reads) rows += rows_of(call);
    return rows;
}

std::size_t skipped_reads(const std::vector<read_call>& reads) {
    std::uint64_t next = 0;
    std::size_t skips = 0;
    for (const read_call& call : reads) {
        if (call.result == 0) continue;
        skips += call.first != next ? 1 : 0;
        next = call.first + call.delivered;
    }
    return skips;
}

file_check check_data_file(const std::string& path, const std::vector<read_call>& reads,
                           const device_samples& samples, read_position from) {
    file_check check;
    check.end = from;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        check.fault = "cannot open " + path;
        return check;
    }
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t size = getline(&line, &capacity, in);
    if (size != static_cast<ssize_t>(data_file_header_size) ||
        std::memcmp(line, data_file_header, data_file_header_size) != 0)
        check.fault = size <= 0
                          ? "no header"
                          : "bad header: " + std::string(line, static_cast<std::size_t>(size));
    read_position& at = check.end;
    for (std::uint64_t number = 2; check.fault.empty(); ++number) {
        size = getline(&line, &capacity, in);
        if (size <= 0) break;
        const char* p = line;
        const char* end = line + size;
        auto fault = [&](const std::string& what) {
            check.fault = "row " + std::to_string(number) + " " + what + ": " +
                          std::string(line, static_cast<std::size_t>(size));
        };
        skip_spent_reads(reads, &at);
        fixed6_field time{};
        if (end[-1] != '\n') {
            check.cut_short = true;
            fault("is cut short");
        } else if (at.read == reads.size()) {
            fault("is beyond the delivered samples");
        } else if (!parse_field(&p, end, ',', &time)) {
            fault("has no time field");
        } else if (at.row > 0 && std::llabs(micro_units(time) - at.block_time_us -
                                            step_us * static_cast<std::int64_t>(at.row)) > 1) {
            fault("is not at " + std::to_string(at.block_time_us) + " µs + " +
                  std::to_string(at.row) + " / 10 kHz");
        } else if (const double volt = expected_volts(reads[at.read], at.row, samples);
                   !values_are(p, end, volt)) {
            std::string expected = value_fields(volt);
            expected.pop_back();
            fault("is not sample " + std::to_string(reads[at.read].first + at.row) + ", 'time," +
                  expected + "'");
        } else {
            if (at.row == 0) {
                at.block_time_us = micro_units(time);
                check.block_times_us.push_back(at.block_time_us);
            }
            if (check.rows == 0) check.first_time_us = micro_units(time);
            check.last_time_us = micro_units(time);
            ++check.rows;
            ++at.row;
        }
    }
    std::free(line);
    std::fclose(in);
    skip_spent_reads(reads, &at);
    return check;
}

file_check check_recording(const std::string& path, const std::vector<read_call>& reads,
                           const device_samples& samples) {
    file_check check = check_data_file(path, reads, samples);
    const std::uint64_t owed = delivered_rows(reads);
    if (check.fault.empty() && check.rows != owed)
        check.fault = "the file ends after " + std::to_string(check.rows) + " of the " +
                      std::to_string(owed) + " delivered samples";
    return check;
}

run_summary parse_summary(const std::string& console) {
    run_summary summary;
    auto only = [&console](const char* prefix, std::string* value) {
        std::vector<std::string> lines = lines_starting_with(console, prefix);
        if (lines.size() != 1) return false;
        *value = lines[0].substr(std::strlen(prefix));
        if (!value->empty() && value->back() == '\r') value->pop_back();
        return true;
    };
    std::string text;
    if (only("Total points: ", &text))
        summary.total_points = std::strtoull(text.c_str(), nullptr, 10);
    if (only("Total time: ", &text)) summary.total_time_s = std::strtod(text.c_str(), nullptr);
    if (only("Approx. effective rate: ", &text))
        summary.rate_hz = std::strtod(text.c_str(), nullptr);
    only("Output file: ", &summary.output_file);
    only("Done. Data saved to ", &summary.saved_to);
    return summary;
}
