// Text from outside (a recording's path, a host name) made safe inside XML
// and JSON, and numbers written so that JSON reads them back exactly. Both check the same UTF-8: a
// byte that does not belong to a well-formed sequence (a stray continuation byte, an overlong form,
// a surrogate, a code point beyond U+10FFFF, a sequence cut short) is replaced by U+FFFD, one for
// each such byte, so the output is always valid UTF-8. XML gets &, <, >, " and ' as entities, and
// U+FFFD for the characters it cannot hold (control characters but tab and line ends, DEL, U+FFFE,
// U+FFFF); JSON gets ", \ and every control character escaped.
#ifndef ACC_TEXT_ESCAPE_H
#define ACC_TEXT_ESCAPE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class text_syntax { xml, json };

// The longest escaped form of one character, its terminating zero included.
constexpr std::size_t escape_piece_size = 8;

// Escapes the character at `text` (with `left` > 0 bytes from there) into
// `piece`, zero-terminated. Returns the bytes of `text` it consumed.
std::size_t escape_next(text_syntax syntax, const char* text, std::size_t left,
                        char piece[escape_piece_size]);

// Copies `text` escaped into `out`, whole characters only; always terminates
// `out` when `out_size` > 0. Returns false when not all of it fits.
bool escape_text(text_syntax syntax, const char* text, char* out, std::size_t out_size);

// Room for any double as JSON: 17 digits, sign, point, exponent, zero.
constexpr std::size_t json_number_size = 32;

// `v` as JSON: the shortest of 15, 16 or 17 significant digits that reads
// back as the same double, with a decimal point in any locale; null when it
// is not finite. With `mark_real`, a point is added to an integral value
// ("500.0"), so that a reader takes it for a double. Returns `out`.
const char* format_json_number(double v, char (&out)[json_number_size], bool mark_real = false);

// Writes JSON to `out` member by member: each puts `"name": ` (nothing for
// nullptr, in an array) after the separator the previous member needs. From
// `line_depth` on, the members of an object stand apart by a space on one
// line, not each on a line of its own. The caller checks `out` for errors.
struct json_writer {
    std::FILE* out;
    bool first;  // no member yet at this level
    int depth;
    int line_depth;
};

// A writer whose object is opened already: '{' written at depth 1.
json_writer json_begin(std::FILE* out, int line_depth);
void json_open(json_writer* w, const char* name, char bracket);
void json_close(json_writer* w, char bracket);
// As format_json_number writes it.
void json_number(json_writer* w, const char* name, double v, bool mark_real = false);
void json_count(json_writer* w, const char* name, std::uint64_t v);
void json_signed(json_writer* w, const char* name, std::int64_t v);
// true, false or null.
void json_literal(json_writer* w, const char* name, const char* literal);
void json_bool(json_writer* w, const char* name, bool v);
// A JSON string escaped as above; nullptr as null.
void json_string(json_writer* w, const char* name, const char* text);
// An array of numbers on one line.
void json_numbers(json_writer* w, const char* name, const double* v, std::size_t n);

#endif
