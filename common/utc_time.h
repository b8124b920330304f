// Instants on the wall clock as the provenance file and the reports write
// them: "YYYY-MM-DDTHH:MM:SS[.fraction]Z", always UTC.
#ifndef ACC_UTC_TIME_H
#define ACC_UTC_TIME_H

#include <cstddef>

// Room for any instant format_utc writes, its terminating zero included.
constexpr std::size_t utc_text_size = 40;

// `unix_s` with `decimals` (0 to 9) digits of the second, rounded, e.g.
// "2026-12-09T06:40:00.123Z" for 3. False, and `out` empty, for an instant
// that is not finite or that gmtime cannot take.
bool format_utc(double unix_s, int decimals, char* out, std::size_t out_size);

// "2026-12-09T06:40:00.123456Z" (fraction optional, any length) as seconds
// since 1970 UTC. False for anything else.
bool parse_utc(const char* text, double* unix_s);

#endif
