// The provenance file's strings: whatever bytes a path or a host name holds,
// the result is valid JSON and says the same where it can.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "provenance.h"

namespace {

std::string json_of(const char* text) {
    std::FILE* file = std::tmpfile();
    EXPECT_EQ(write_json_string(fileno(file), text), 0);
    std::string written(256, '\0');
    written.resize(
        static_cast<std::size_t>(pread(fileno(file), written.data(), written.size(), 0)));
    std::fclose(file);
    return written;
}

}  // namespace

TEST(Provenance, StringsAreEscapedAndInvalidUtf8IsReplaced) {
    EXPECT_EQ(json_of("/var/lib/acc"), "\"/var/lib/acc\"");
    EXPECT_EQ(json_of("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_of("t\tn\n\x01\x1f\x7f"), "\"t\\u0009n\\u000a\\u0001\\u001f\x7f\"");
    EXPECT_EQ(json_of("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
              "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
    // A stray byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF.
    EXPECT_EQ(
        json_of("\xff|\xc3|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80"),
        "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(json_of(nullptr), "null");
}
