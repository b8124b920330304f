#include "summary_format.h"

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
    for (;;) {
        if (n == summary_columns) return false;
        fields[n++] = p;
        p = std::strpbrk(p, ",\n");
        if (!p) return false;  // no line feed: cut short
        const bool last = *p == '\n';
        *p++ = '\0';
        if (last) break;
    }
    out->start_utc = fields[0];
    return n == summary_columns && *p == '\0' && parse_figure(fields[4], &out->peak_g) &&
           parse_figure(fields[5], &out->velocity_rms_mm_s);
}
