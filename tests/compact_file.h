// A recording's text in the archiver's forms, compact or zstd, for the tests
// of those who write or read them.
#ifndef ACC_TESTS_COMPACT_FILE_H
#define ACC_TESTS_COMPACT_FILE_H

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "compact_format.h"
#include "data_format.h"

inline std::vector<unsigned char> compact_file_of(const std::string& text) {
    std::vector<unsigned char> file(compact_file_header_size);
    compact_write_file_header(file.data());
    compact_codec codec;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t take = compact_frame_cut(text.data() + at, text.size() - at, true);
        EXPECT_EQ(compact_encode_frame(&codec, text.data() + at, take, &file), compact_status::ok);
        at += take;
    }
    compact_codec_release(&codec);
    return file;
}

inline std::string compact_text_of(const std::string& text) {
    const std::vector<unsigned char> file = compact_file_of(text);
    return std::string(file.begin(), file.end());
}

// As the archiver writes it: frames of `frame` bytes of the text each; or
// as the zstd command does, one frame for the whole text.
inline std::string zstd_of(const std::string& text, std::size_t frame = compressed_frame_content) {
    std::string packed;
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    for (std::size_t at = 0; at < text.size(); at += frame) {
        const std::size_t n = std::min(frame, text.size() - at);
        std::string out(ZSTD_compressBound(n), '\0');
        out.resize(ZSTD_compress2(c, out.data(), out.size(), text.data() + at, n));
        packed += out;
    }
    ZSTD_freeCCtx(c);
    return packed;
}

#endif
