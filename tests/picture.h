// Reading the inspector's pictures back: the SVG's elements through libxml2,
// PNG images (the embedded spectrogram, a rendering of the whole picture)
// through zlib, every chunk's CRC checked.
#ifndef ACC_TESTS_PICTURE_H
#define ACC_TESTS_PICTURE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>

// One element of the picture, which lays its elements out flat under <svg>.
// A panel begins at its frame, the only rectangle with a stroke.
struct svg_element {
    std::string name;
    std::map<std::string, std::string> attributes;  // "xlink:href" with its prefix
    std::string text;
    int panel;  // 0, 1, ... down the page; -1 above the first
};

// False unless `svg` is well-formed XML with an SVG root.
inline bool read_svg(const std::string& svg, std::vector<svg_element>* out) {
    xmlDocPtr doc = xmlReadMemory(svg.data(), static_cast<int>(svg.size()), "picture.svg", nullptr,
                                  XML_PARSE_NONET);
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
    const bool is_svg = root && root->ns && xmlStrEqual(root->name, BAD_CAST "svg") &&
                        xmlStrEqual(root->ns->href, BAD_CAST "http://www.w3.org/2000/svg");
    int panel = -1;
    for (xmlNodePtr node = is_svg ? root->children : nullptr; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        svg_element e{reinterpret_cast<const char*>(node->name), {}, {}, panel};
        for (xmlAttrPtr a = node->properties; a; a = a->next) {
            std::string name = reinterpret_cast<const char*>(a->name);
            if (a->ns && a->ns->prefix)
                name.insert(0, std::string(reinterpret_cast<const char*>(a->ns->prefix)) + ":");
            xmlChar* value = xmlNodeListGetString(doc, a->children, 1);
            e.attributes[name] = value ? reinterpret_cast<const char*>(value) : "";
            xmlFree(value);
        }
        xmlChar* text = xmlNodeGetContent(node);
        e.text = text ? reinterpret_cast<const char*>(text) : "";
        xmlFree(text);
        if (e.name == "rect" && e.attributes.count("stroke")) e.panel = ++panel;
        out->push_back(e);
    }
    xmlFreeDoc(doc);
    return is_svg;
}

constexpr int any_panel = -2;

// The elements of `panel` named `name` (any name: "") that read `text` (any: nullptr).
inline std::vector<const svg_element*> elements_of(const std::vector<svg_element>& svg, int panel,
                                                   const std::string& name,
                                                   const char* text = nullptr) {
    std::vector<const svg_element*> found;
    for (const svg_element& e : svg)
        if ((panel == any_panel || e.panel == panel) && (name.empty() || e.name == name) &&
            (!text || e.text == text))
            found.push_back(&e);
    return found;
}

inline std::string attribute_of(const svg_element& e, const char* attribute) {
    auto found = e.attributes.find(attribute);
    return found == e.attributes.end() ? std::string() : found->second;
}

// NaN when the attribute is missing.
inline double number_of(const svg_element& e, const char* attribute) {
    const std::string value = attribute_of(e, attribute);
    return value.empty() ? std::nan("") : std::strtod(value.c_str(), nullptr);
}

// Whether `panel` has a text that reads `text` with `attribute` set to `value`.
inline bool has_text(const std::vector<svg_element>& svg, int panel, const char* text,
                     const char* attribute, const std::string& value) {
    for (const svg_element* e : elements_of(svg, panel, "text", text))
        if (attribute_of(*e, attribute) == value) return true;
    return false;
}

// Every number in path data or a list of points.
inline std::vector<double> numbers_in(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return !std::strchr("0123456789.-", c); }, ' ');
    std::vector<double> numbers;
    char* next = nullptr;
    for (const char* p = text.c_str();; p = next) {
        const double v = std::strtod(p, &next);
        if (next == p) return numbers;
        numbers.push_back(v);
    }
}

inline std::string base64_decoded(const std::string& text) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const char* digit = c ? std::strchr(digits, c) : nullptr;
        if (!digit) break;  // the padding
        bits = (bits << 6) | static_cast<unsigned>(digit - digits);
        if ((count += 6) >= 8) out.push_back(static_cast<char>(bits >> (count -= 8)));
    }
    return out;
}

inline std::uint32_t big_endian_at(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

struct png_image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bit_depth = 0;
    int colour_type = 0;  // 2 RGB, 3 palette, 6 RGBA
    std::string palette;
    std::size_t stride = 0;           // bytes of a row
    std::vector<unsigned char> rows;  // unfiltered
};

// A PNG without interlacing, in any colour type and with any of the filters.
inline bool decode_png(const std::string& png, png_image* image) {
    std::string header, data;
    for (std::size_t at = 8, length = 0; at + 12 <= png.size(); at += 12 + length) {
        length = big_endian_at(png, at);
        if (at + 12 + length > png.size() ||
            crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), length + 4) !=
                big_endian_at(png, at + 8 + length))
            return false;
        const std::string type = png.substr(at + 4, 4);
        std::string& body = type == "IHDR" ? header : type == "PLTE" ? image->palette : data;
        if (type == "IHDR" || type == "PLTE" || type == "IDAT") body += png.substr(at + 8, length);
    }
    if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || header.size() != 13 || header[12] != 0)
        return false;
    image->width = big_endian_at(header, 0);
    image->height = big_endian_at(header, 4);
    image->bit_depth = static_cast<unsigned char>(header[8]);
    image->colour_type = std::min<int>(static_cast<unsigned char>(header[9]), 6);
    const std::size_t channels[] = {1, 0, 3, 1, 2, 0, 4};
    const std::size_t bits = channels[image->colour_type] * static_cast<unsigned>(image->bit_depth);
    const std::size_t stride = image->stride = (image->width * bits + 7) / 8;
    const std::size_t back = std::max<std::size_t>(1, bits / 8);  // to the byte's left neighbour
    std::vector<unsigned char> raw((stride + 1) * image->height);
    uLongf size = raw.size();
    if (bits == 0 ||
        uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(data.data()), data.size()) !=
            Z_OK ||
        size != raw.size())
        return false;
    image->rows.assign(stride * image->height, 0);
    for (std::size_t y = 0; y < image->height; ++y) {
        const unsigned char filter = raw[y * (stride + 1)];
        unsigned char* row = &image->rows[y * stride];
        for (std::size_t x = 0; x < stride && filter <= 4; ++x) {
            const int a = x >= back ? row[x - back] : 0;
            const int b = y > 0 ? row[x - stride] : 0;
            const int c = y > 0 && x >= back ? row[x - stride - back] : 0;
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int predicted[] = {0, a, b, (a + b) / 2,
                                     pa <= pb && pa <= pc ? a
                                     : pb <= pc           ? b
                                                          : c};
            row[x] = static_cast<unsigned char>(raw[y * (stride + 1) + 1 + x] + predicted[filter]);
        }
        if (filter > 4) return false;
    }
    return true;
}

#endif
