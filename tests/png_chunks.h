// The chunks of a PNG file that the picture tests read back, each chunk's
// CRC checked.
#ifndef ACC_TESTS_PNG_CHUNKS_H
#define ACC_TESTS_PNG_CHUNKS_H

#include <cstdint>
#include <string>

#include <zlib.h>

inline std::uint32_t big_endian_at(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

struct png_chunks {
    std::string header;   // IHDR
    std::string palette;  // PLTE, if any
    std::string data;     // the IDATs joined: one zlib stream
};

inline bool split_png(const std::string& png, png_chunks* out) {
    if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = big_endian_at(png, at);
        if (at + 12 + length > png.size()) return false;
        const auto* typed = reinterpret_cast<const Bytef*>(png.data() + at + 4);
        if (crc32(0, typed, length + 4) != big_endian_at(png, at + 8 + length)) return false;
        const std::string type = png.substr(at + 4, 4);
        const std::string body = png.substr(at + 8, length);
        if (type == "IHDR") out->header = body;
        if (type == "PLTE") out->palette = body;
        if (type == "IDAT") out->data += body;
        at += 12 + length;
    }
    return out->header.size() == 13;
}

#endif
