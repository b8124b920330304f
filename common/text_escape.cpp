#include "text_escape.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr char replacement[] = "\xef\xbf\xbd";  // U+FFFD

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `s`, or 0.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    const std::size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    // n stays 0 for a byte that starts no sequence.
    if (n > left) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if (!continuation(s[i])) return 0;
    if (c == 0xE0 && s[1] < 0xA0) return 0;  // overlong
    if (c == 0xED && s[1] > 0x9F) return 0;  // surrogate
    if (c == 0xF0 && s[1] < 0x90) return 0;  // overlong
    if (c == 0xF4 && s[1] > 0x8F) return 0;  // beyond U+10FFFF
    return n;
}

// XML 1.0 holds no control character but tab and line ends, and neither
// U+FFFE nor U+FFFF; DEL it allows but only discourages, and is left out.
bool xml_allows(const unsigned char* s, std::size_t n) {
    if (n == 1)
        return (s[0] >= 0x20 || s[0] == '\t' || s[0] == '\n' || s[0] == '\r') && s[0] != 0x7f;
    return !(n == 3 && s[0] == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF));
}

const char* xml_entity(unsigned char c) {
    return c == '&'    ? "&amp;"
           : c == '<'  ? "&lt;"
           : c == '>'  ? "&gt;"
           : c == '"'  ? "&quot;"
           : c == '\'' ? "&apos;"
                       : nullptr;
}

// The short escapes JSON has, else the \u form for a control character.
void json_escape_byte(unsigned char c, char piece[escape_piece_size]) {
    const char* named = c == '"'    ? "\\\""
                        : c == '\\' ? "\\\\"
                        : c == '\b' ? "\\b"
                        : c == '\f' ? "\\f"
                        : c == '\n' ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                                    : nullptr;
    if (named)
        std::strcpy(piece, named);
    else
        std::snprintf(piece, escape_piece_size, "\\u%04x", c);
}

}  // namespace

std::size_t escape_next(text_syntax syntax, const char* text, std::size_t left,
                        char piece[escape_piece_size]) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    const std::size_t n = utf8_length(s, left);
    if (n == 0 || (syntax == text_syntax::xml && !xml_allows(s, n))) {
        std::strcpy(piece, replacement);
        return n == 0 ? 1 : n;
    }
    const char* entity = syntax == text_syntax::xml && n == 1 ? xml_entity(s[0]) : nullptr;
    if (entity) {
        std::strcpy(piece, entity);
    } else if (syntax == text_syntax::json && n == 1 &&
               (s[0] < 0x20 || s[0] == '"' || s[0] == '\\')) {
        json_escape_byte(s[0], piece);
    } else {
        std::memcpy(piece, s, n);
        piece[n] = '\0';
    }
    return n;
}

bool escape_text(text_syntax syntax, const char* text, char* out, std::size_t out_size) {
    if (out_size == 0) return false;
    std::size_t used = 0;
    std::size_t left = std::strlen(text);
    while (left > 0) {
        char piece[escape_piece_size];
        const std::size_t consumed = escape_next(syntax, text, left, piece);
        const std::size_t length = std::strlen(piece);
        if (used + length >= out_size) break;
        std::memcpy(out + used, piece, length);
        used += length;
        text += consumed;
        left -= consumed;
    }
    out[used] = '\0';
    return left == 0;
}

const char* format_json_number(double v, char (&out)[json_number_size], bool mark_real) {
    if (!std::isfinite(v)) return std::strcpy(out, "null");
    // to_chars and from_chars spell numbers as printf and strtod do in the
    // C locale, whatever locale the process has.
    for (int digits = 15; digits <= 17; ++digits) {
        const std::to_chars_result end =
            std::to_chars(out, out + json_number_size - 3, v, std::chars_format::general, digits);
        *end.ptr = '\0';
        double back = 0.0;
        std::from_chars(out, end.ptr, back);
        if (back == v) break;
    }
    if (mark_real && !std::strpbrk(out, ".e")) std::strcat(out, ".0");
    return out;
}

namespace {

void indent(json_writer* w) {
    std::fputc('\n', w->out);
    for (int i = 0; i < w->depth; ++i) std::fputs("  ", w->out);
}

void key(json_writer* w, const char* name) {
    const bool after = !w->first;
    if (after) std::fputc(',', w->out);
    w->first = false;
    if (w->depth < w->line_depth)
        indent(w);
    else if (after)
        std::fputc(' ', w->out);
    if (name) std::fprintf(w->out, "\"%s\": ", name);
}

}  // namespace

json_writer json_begin(std::FILE* out, int line_depth) {
    std::fputc('{', out);
    return json_writer{out, true, 1, line_depth};
}

void json_open(json_writer* w, const char* name, char bracket) {
    key(w, name);
    std::fputc(bracket, w->out);
    w->first = true;
    ++w->depth;
}

void json_close(json_writer* w, char bracket) {
    const bool own_lines = w->depth-- < w->line_depth;  // its members' own, not the object's
    if (!w->first && own_lines) indent(w);
    std::fputc(bracket, w->out);
    w->first = false;
}

void json_number(json_writer* w, const char* name, double v, bool mark_real) {
    char text[json_number_size];
    json_literal(w, name, format_json_number(v, text, mark_real));
}

void json_count(json_writer* w, const char* name, std::uint64_t v) {
    key(w, name);
    std::fprintf(w->out, "%" PRIu64, v);
}

void json_signed(json_writer* w, const char* name, std::int64_t v) {
    key(w, name);
    std::fprintf(w->out, "%" PRId64, v);
}

void json_literal(json_writer* w, const char* name, const char* literal) {
    key(w, name);
    std::fputs(literal, w->out);
}

void json_bool(json_writer* w, const char* name, bool v) {
    json_literal(w, name, v ? "true" : "false");
}

void json_string(json_writer* w, const char* name, const char* text) {
    if (!text) return json_literal(w, name, "null");
    key(w, name);
    std::fputc('"', w->out);
    for (std::size_t left = std::strlen(text); left > 0;) {
        char piece[escape_piece_size];
        const std::size_t n = escape_next(text_syntax::json, text, left, piece);
        std::fputs(piece, w->out);
        text += n;
        left -= n;
    }
    std::fputc('"', w->out);
}

void json_numbers(json_writer* w, const char* name, const double* v, std::size_t n) {
    key(w, name);
    std::fputc('[', w->out);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) std::fputc(',', w->out);
        char text[json_number_size];
        std::fputs(format_json_number(v[i], text), w->out);
    }
    std::fputc(']', w->out);
}
