#include "summary_format.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// An optional figure: empty is NaN.
bool parse_figure(const char* text, double* v) {
    if (*text == '\0') {
        *v = std::nan("");
        return true;
    }
    // from_chars is several times faster and rounds as strtod does; strtod
    // still takes what from_chars does not (a sign, hexadecimal).
    const char* text_end = text + std::strlen(text);
    const std::from_chars_result quick = std::from_chars(text, text_end, *v);
    if (quick.ec == std::errc() && quick.ptr == text_end) return true;
    char* end = nullptr;
    *v = std::strtod(text, &end);
    return end != text && *end == '\0';
}

}  // namespace

int parse_summary_version(const char* line) {
    constexpr char tag[] = "# acc_summary ";
    if (std::strncmp(line, tag, sizeof tag - 1) != 0) return -1;
    const char* digits = line + sizeof tag - 1;
    char* end = nullptr;
    const long version = std::strtol(digits, &end, 10);
    return end != digits && *end == '\n' && version >= 0 && version <= INT_MAX
               ? static_cast<int>(version)
               : -1;
}

bool parse_summary_line(char* line, summary_line* out) {
    const char* fields[summary_columns];
    int n = 0;
    char* p = line;
    char* const line_end = std::strchr(line, '\n');
    if (!line_end) return false;  // no line feed: cut short
    for (;;) {
        if (n == summary_columns) return false;
        fields[n++] = p;
        char* comma =
            static_cast<char*>(std::memchr(p, ',', static_cast<std::size_t>(line_end - p)));
        p = comma ? comma : line_end;
        const bool last = !comma;
        *p++ = '\0';
        if (last) break;
    }
    out->start_utc = fields[0];
    return n == summary_columns && *p == '\0' && parse_figure(fields[4], &out->peak_g) &&
           parse_figure(fields[5], &out->velocity_rms_mm_s);
}
