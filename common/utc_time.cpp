#include "utc_time.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

bool format_utc(double unix_s, int decimals, char* out, std::size_t out_size) {
    if (out_size > 0) out[0] = '\0';
    if (!std::isfinite(unix_s) || decimals < 0 || decimals > 9 || std::fabs(unix_s) > 1e17)
        return false;
    long long scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    double whole = std::floor(unix_s);
    long long fraction = std::llround((unix_s - whole) * static_cast<double>(scale));
    if (fraction >= scale) {
        fraction -= scale;
        whole += 1;
    }
    const auto when = static_cast<std::time_t>(whole);
    std::tm utc{};
    if (!gmtime_r(&when, &utc)) return false;
    // Room for any long long: an optimised build's -Wformat-truncation cannot
    // see that the fraction is below 10^9.
    char digits[24] = "";
    if (decimals > 0) std::snprintf(digits, sizeof digits, ".%0*lld", decimals, fraction);
    const int written =
        std::snprintf(out, out_size, "%04d-%02d-%02dT%02d:%02d:%02d%sZ", utc.tm_year + 1900,
                      utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, digits);
    return written > 0 && static_cast<std::size_t>(written) < out_size;
}

namespace {

// Days from 1970-01-01 to the proleptic Gregorian date, as timegm counts
// them, a day past the month's end included; arithmetic alone, for the
// history's millions of instants.
long long days_from_civil(long long year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long year_of_era = year - era * 400;
    const long long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

}  // namespace

bool parse_utc(const char* text, double* unix_s) {
    // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
    int fields[6] = {};
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    const char separators[6] = {'-', '-', 'T', ':', ':', '\0'};
    const char* at = text;
    for (int f = 0; f < 6; ++f) {
        for (int d = 0; d < widths[f]; ++d, ++at) {
            if (*at < '0' || *at > '9') return false;
            fields[f] = fields[f] * 10 + (*at - '0');
        }
        if (separators[f] != '\0' && *at++ != separators[f]) return false;
    }
    const int year = fields[0], month = fields[1], day = fields[2];
    const int hour = fields[3], minute = fields[4], second = fields[5];
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    double fraction = 0.0;
    if (*at == '.') {
        ++at;
        if (*at < '0' || *at > '9') return false;
        long long numerator = 0;
        long long denominator = 1;
        for (; *at >= '0' && *at <= '9'; ++at) {
            if (denominator < 1000000000LL) {  // nanoseconds are plenty
                numerator = numerator * 10 + (*at - '0');
                denominator *= 10;
            }
        }
        fraction = static_cast<double>(numerator) / static_cast<double>(denominator);
    }
    if (std::strcmp(at, "Z") != 0) return false;
    const long long seconds =
        days_from_civil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second;
    *unix_s = static_cast<double>(seconds) + fraction;
    return true;
}
