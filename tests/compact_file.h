// A recording's text in the compact form, frame by frame as the archiver
// cuts it, for the tests of those who write or read that form.
#ifndef ACC_TESTS_COMPACT_FILE_H
#define ACC_TESTS_COMPACT_FILE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compact_format.h"

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

#endif
