// What the three programs share: the data file's name, UTC instants, the
// provenance file written and read back, the recorder's lock, option
// values, and the summary's lines.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

#include "command_line.h"
#include "data_file_name.h"
#include "program_runner.h"
#include "provenance_file.h"
#include "recording_lock.h"
#include "summary_format.h"
#include "text_escape.h"
#include "utc_time.h"

TEST(DataFileName, OnlyTheNamesTheRecorderFormsAreARecordingsFiles) {
    struct name_case {
        const char* name;
        name_kind kind;
        std::size_t stem;
    };
    const name_case cases[] = {
        {"ai0_accel_20250314_093005.csv", name_kind::data, 25},
        {"ai0_accel_20250314_093005_2.csv.zst", name_kind::compressed_zst, 27},
        {"ai0_accel_20250314_093005_999.csv.gz", name_kind::compressed_gz, 29},
        {"ai0_accel_20250314_093005.csv.acz", name_kind::compact, 25},
        {"ai0_accel_20250314_093005.json", name_kind::provenance, 25},
        {"ai0_accel_20250314_093005_1.csv", name_kind::none, 0},     // never numbered 1
        {"ai0_accel_20250314_093005_02.csv", name_kind::none, 0},    // nor with a zero
        {"ai0_accel_20250314_093005_1000.csv", name_kind::none, 0},  // beyond 999
        {"ai0_accel_20251314_093005.csv", name_kind::none, 0},       // month 13
        {"ai0_accel_20250314_093005.csv.tmp", name_kind::none, 0},
        {"ai0_accel_2025031_0930051.csv", name_kind::none, 0},
        {"ai1_accel_20250314_093005.csv", name_kind::none, 0},
        {"ai0_accel_20250314_093005.zst", name_kind::none, 0},
        {"ai0_summary_20250314_093005.csv.gz", name_kind::none, 0},  // a summary is none of them
    };
    for (const name_case& c : cases) {
        std::size_t stem = 0;
        std::tm local{};
        EXPECT_EQ(parse_data_file_name(c.name, &stem, &local), c.kind) << c.name;
        EXPECT_EQ(stem, c.stem) << c.name;
    }
    std::size_t stem = 0;
    std::tm local{};
    ASSERT_EQ(parse_data_file_name("ai0_accel_20250314_093005.csv", &stem, &local),
              name_kind::data);
    EXPECT_EQ(local.tm_year, 125);
    EXPECT_EQ(local.tm_mon, 2);
    EXPECT_EQ(local.tm_mday, 14);
    EXPECT_EQ(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec, 9 * 3600 + 30 * 60 + 5);
    EXPECT_EQ(local.tm_isdst, -1);

    // A summary's name and its recording's stem, both ways; "" for none.
    const std::pair<const char*, const char*> summaries[] = {
        {"ai0_summary_20250314_093005.csv.gz", "ai0_accel_20250314_093005"},
        {"ai0_summary_20250314_093005_2.csv.gz", "ai0_accel_20250314_093005_2"},
        {"ai0_summary_20250314_093005_1.csv.gz", ""},
        {"ai0_summary_20251314_093005.csv.gz", ""},
        {"ai0_summary_20250314_093005.csv", ""},
        {"ai0_accel_20250314_093005.csv.gz", ""},
        {"ai0_summary_.csv.gz", ""},
    };
    for (const auto& [name, recording] : summaries) {
        char stem_text[64] = "";
        EXPECT_EQ(parse_summary_name(name, stem_text, sizeof stem_text, &local), *recording != '\0')
            << name;
        EXPECT_STREQ(stem_text, recording) << name;
        char back[64] = "";
        EXPECT_EQ(format_summary_name(recording, back, sizeof back), *recording != '\0') << name;
        EXPECT_STREQ(*recording ? back : name, name);
    }
}

TEST(UtcTime, FormatsRoundedAndParsesOnlyTheOneForm) {
    struct format_case {
        double unix_s;
        int decimals;
        const char* text;
    };
    const format_case formats[] = {
        {1765262400.0, 3, "2025-12-09T06:40:00.000Z"},
        {1765262400.1234567, 6, "2025-12-09T06:40:00.123457Z"},
        {1765262400.9996, 3, "2025-12-09T06:40:01.000Z"},  // the carry into the second
        {-0.5, 3, "1969-12-31T23:59:59.500Z"},
        {951782400.0, 0, "2000-02-29T00:00:00Z"},
        {4107542400.0, 0, "2100-03-01T00:00:00Z"},   // 2100 has no February 29
        {-2208945600.0, 0, "1900-01-01T12:00:00Z"},  // nor 1900, before 1970
    };
    for (const format_case& c : formats) {
        char text[utc_text_size];
        EXPECT_TRUE(format_utc(c.unix_s, c.decimals, text, sizeof text));
        EXPECT_STREQ(text, c.text);
        double back = 0.0;
        EXPECT_TRUE(parse_utc(c.text, &back)) << c.text;
        EXPECT_NEAR(back, c.unix_s, 0.5 * std::pow(10.0, -c.decimals)) << c.text;
    }
    char text[utc_text_size] = "an earlier text";
    EXPECT_FALSE(format_utc(std::nan(""), 6, text, sizeof text));
    EXPECT_STREQ(text, "");
    EXPECT_FALSE(format_utc(0.0, 3, text, 10));            // does not fit
    EXPECT_FALSE(format_utc(0.0, 10, text, sizeof text));  // finer than nanoseconds

    double s = 0.0;
    EXPECT_TRUE(parse_utc("2025-12-08T02:00:00.123456789123Z", &s));
    EXPECT_DOUBLE_EQ(s, 1765159200.123456789);
    for (const char* bad : {"2026-12-08T02:00:00", "2026-12-08 02:00:00Z", "2026-12-08T02:00:00.Z",
                            "2026-13-08T02:00:00Z", "2026-12-32T02:00:00Z", "2026-12-08T24:00:00Z",
                            "2026-12-08T02:60:00Z", "2026-12-08T02:00:00Zx", "26-12-08T02:00:00Z",
                            "2026-12-08T02:00:00+01:00"})
        EXPECT_FALSE(parse_utc(bad, &s)) << bad;
}

TEST(ProvenanceFile, WhatTheRecorderWritesReadsBack) {
    char path[] = "/tmp/provenance_test_XXXXXX.json";
    const int made = mkstemps(path, 5);
    ASSERT_GE(made, 0);
    close(made);
    unlink(path);  // written exclusively
    const run_settings settings = {200.0, 100, 0, 200.0, "/data\t\xff", 1.0, 3600};
    run_provenance run{
        "0123456789abcdef0123456789ABCDEF", 1765159199.9, &settings, "1.0", nullptr, true, "board"};
    const clock_state clock{true, true, 5000, 20};
    int fd = -1;
    ASSERT_EQ(write_provenance(path, run, 3, "/data/ai0_accel_20261208_010000.csv", clock, &fd), 0);
    close(fd);
    EXPECT_EQ(write_provenance(path, run, 3, nullptr, clock, &fd), EEXIST);

    const std::string text = read_file(path);
    unlink(path);
    // Its members in order, each after "{" or a comma, and a key after each comma.
    std::size_t at = 0;
    for (const char* piece :
         {"\"format\": ", "\"run_id\": ", "\"segment\": 3",
          "\"previous\": \"ai0_accel_20261208_010000.csv\"",
          "\"start_utc\": \"2025-12-08T01:59:59.900000Z\"", "\"clock\": ", "\"settings\": ",
          "\"sample_rate_hz\": 200.0", "\"out_dir\": \"/data\\t\xef\xbf\xbd\"", "\"program\": ",
          "\"version\": ", "\"device_library\": ", "\"path\": null", "\"simulator\": true"})
        EXPECT_NE(at = text.find(piece, at), std::string::npos) << piece << " in order";
    EXPECT_FALSE(std::regex_search(text, std::regex(R"([^{,\s]\s*"\w+": |,\s*[^"\s])"))) << text;
    // The host is the object's last member, outside the library's.
    EXPECT_EQ(text.substr(text.find("\"simulator\"")),
              "\"simulator\": true},\n  \"host\": \"board\"\n}\n");

    provenance prov{};
    provenance_parse(text.c_str(), &prov);
    EXPECT_TRUE(prov.present);
    EXPECT_STREQ(prov.run_id, run.run_id);
    EXPECT_EQ(prov.segment, 3);
    EXPECT_TRUE(prov.have_start);
    EXPECT_NEAR(prov.start_unix_s, run.start_s, 1e-6);
    EXPECT_TRUE(prov.synchronized);
    EXPECT_TRUE(prov.have_settings);
    EXPECT_EQ(prov.sample_rate_hz, 200.0);
    EXPECT_EQ(prov.sensitivity_mv_per_g, 200.0);
}

TEST(ProvenanceFile, EachKeyIsTakenOnlyWhenItIsWellFormed) {
    struct read_case {
        const char* text;
        bool present, have_start, have_settings;
    };
    const read_case cases[] = {
        {"{\"start_utc\": \"2025-01-01T00:00:00Z\"}", false, true, false},
        {"{\"run_id\": \"0123\", \"start_utc\": \"yesterday\"}", false, false, false},
        {"{\"run_id\": \"0123456789abcdef0123456789abcdeg\"}", false, false, false},
        {"{\"run_id\" :\n \"0123456789abcdef0123456789abcdef\"}", true, false, false},
        {"{\"sample_rate_hz\": 10000.0, \"sensitivity_mv_per_g\": -5}", false, false, false},
        {"{\"sample_rate_hz\": 1e4, \"sensitivity_mv_per_g\": 500}", false, false, true},
        {"{\"sample_rate_hz\": \"10000\", \"sensitivity_mv_per_g\": 500}", false, false, false},
    };
    for (const read_case& c : cases) {
        provenance prov{};
        provenance_parse(c.text, &prov);
        EXPECT_EQ(prov.present, c.present) << c.text;
        EXPECT_EQ(prov.have_start, c.have_start) << c.text;
        EXPECT_EQ(prov.have_settings, c.have_settings) << c.text;
    }
    char out[64];
    for (const char* archived : {"d/a.csv.zst", "d/a.csv.acz"}) {
        EXPECT_TRUE(provenance_path(archived, out, sizeof out));
        EXPECT_STREQ(out, "d/a.json");
    }
    EXPECT_FALSE(provenance_path("d/a.txt", out, sizeof out));
    EXPECT_FALSE(provenance_path("d/abc.csv", out, 8));  // "d/abc.json" does not fit
}

TEST(RecordingLock, AFileIsBeingRecordedWhileAnotherHoldsItsExclusiveLock) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    // A second open file description, as another program has.
    const std::string self = "/proc/self/fd/" + std::to_string(fileno(file));
    const int other = open(self.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    EXPECT_FALSE(held_by_recorder(other));
    ASSERT_EQ(flock(fileno(file), LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(held_by_recorder(other));
    EXPECT_EQ(lock_unless_recorded(other), EWOULDBLOCK);
    flock(fileno(file), LOCK_UN);
    EXPECT_EQ(lock_unless_recorded(other), 0);  // and now the recorder cannot start on it
    EXPECT_NE(flock(fileno(file), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(lock_unless_recorded(-1), EBADF);
    close(other);
    std::fclose(file);
}

TEST(CommandLine, AWholeNumberIsDigitsAloneWithinItsBounds) {
    unsigned long long value = 0;
    EXPECT_TRUE(parse_whole("1", 1, 19, &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(parse_whole("19", 1, 19, &value));
    EXPECT_EQ(value, 19u);
    for (const char* text :
         {"0", "20", "", "+5", " 5", "5 ", "-1", "0x5", "99999999999999999999"}) {
        value = 77;
        EXPECT_FALSE(parse_whole(text, 1, 19, &value)) << text;
        EXPECT_EQ(value, 77u) << text;
    }
}

TEST(SummaryFormat, OnlyWholeLinesOfTheKnownShapeAreRead) {
    const std::pair<const char*, int> versions[] = {
        {"# acc_summary 1\n", 1}, {"# acc_summary 0\n", 0},   {"# acc_summary 12\n", 12},
        {"# acc_summary 1", -1},  {"# acc_summary \n", -1},   {"# acc_summary -1\n", -1},
        {"#acc_summary 1\n", -1}, {"# acc_summary 1x\n", -1}, {"# acc_summary 9999999999\n", -1}};
    for (const auto& [line, version] : versions)
        EXPECT_EQ(parse_summary_version(line), version) << line;

    const char* const lines[] = {
        "2026-12-08T02:00:00.000Z,0,10000,0.3,0.5,2.25,50,3,0,0\n",      // whole
        ",0,10000,0.3,,,50,3,0,0\n",                                     // no instant, no figures
        "2026-12-08T02:00:00.000Z,0,10000,0.3,0x1p-1,+2.25,50,3,0,0\n",  // as strtod reads them
        "2026-12-08T02:00:00.000Z,0,10000,0.3,0.5,2.25,50,3,0\n",        // a column short
        "2026-12-08T02:00:00.000Z,0,10000,0.3,0.5,2.25,50,3,0,0,0\n",    // one too many
        "2026-12-08T02:00:00.000Z,0,10000,0.3,0.5,2.25,50,3,0,0",        // cut short
        "2026-12-08T02:00:00.000Z,0,10000,0.3,x,2.25,50,3,0,0\n",
        "2026-12-08T02:00:00.000Z,0,10000,0.3,0.5,2.25mm,50,3,0,0\n"};
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        std::string line = lines[i];
        summary_line figures{};
        EXPECT_EQ(parse_summary_line(line.data(), &figures), i < 3) << lines[i];
        if (i == 0 || i == 2) {
            EXPECT_STREQ(figures.start_utc, "2026-12-08T02:00:00.000Z");
            EXPECT_EQ(figures.peak_g, 0.5);
            EXPECT_EQ(figures.velocity_rms_mm_s, 2.25);
        } else if (i == 1) {
            EXPECT_STREQ(figures.start_utc, "");
            EXPECT_TRUE(std::isnan(figures.peak_g) && std::isnan(figures.velocity_rms_mm_s));
        }
    }
}

// The same UTF-8 check for both: what it is not becomes U+FFFD, byte by byte.
#define FFFD "\xef\xbf\xbd"
TEST(TextEscape, ValidatesUtf8AndEscapesForXmlAndJson) {
    struct text_case {
        const char* text;
        const char* xml;
        const char* json;  // nullptr: as for XML
    };
    const text_case cases[] = {
        // U+0800, an overlong form, a bad second byte, U+00E9
        {"\xe0\xa0\x80 \xe0\x9f\xbf \xc3( caf\xc3\xa9",
         "\xe0\xa0\x80 " FFFD FFFD FFFD " " FFFD "( caf\xc3\xa9", nullptr},
        // U+D7FF, a surrogate, U+00C0, an overlong '/'
        {"\xed\x9f\xbf \xed\xa0\x80 \xc3\x80 \xc0\xaf",
         "\xed\x9f\xbf " FFFD FFFD FFFD " \xc3\x80 " FFFD FFFD, nullptr},
        // U+1F600, an overlong four-byte form, beyond U+10FFFF, U+10FFFF
        {"\xf0\x9f\x98\x80 \xf0\x8f\xbf\xbf \xf4\x90\x80\x80 \xf4\x8f\xbf\xbf",
         "\xf0\x9f\x98\x80 " FFFD FFFD FFFD FFFD " " FFFD FFFD FFFD FFFD " \xf4\x8f\xbf\xbf",
         nullptr},
        // sequences cut short by the end
        {"\x01\xe2\x82", FFFD FFFD FFFD, "\\u0001" FFFD FFFD},
        // markup, and what each syntax cannot hold as it is
        {"a&b<c>\"d'\\", "a&amp;b&lt;c&gt;&quot;d&apos;\\", "a&b<c>\\\"d'\\\\"},
        {"\b\f\n\r\t\x1f\x7f \xef\xbf\xbe", FFFD FFFD "\n\r\t" FFFD FFFD " " FFFD,
         "\\b\\f\\n\\r\\t\\u001f\x7f \xef\xbf\xbe"}};
    for (const text_case& c : cases) {
        char out[128];
        EXPECT_TRUE(escape_text(text_syntax::xml, c.text, out, sizeof out));
        EXPECT_STREQ(out, c.xml) << c.text;
        EXPECT_TRUE(escape_text(text_syntax::json, c.text, out, sizeof out));
        EXPECT_STREQ(out, c.json ? c.json : c.xml) << c.text;
    }
    char out[5];
    EXPECT_FALSE(escape_text(text_syntax::xml, "x&y", out, sizeof out));  // no half entity
    EXPECT_STREQ(out, "x");
    EXPECT_FALSE(escape_text(text_syntax::json, "x", out, 1));  // room for the end alone
    EXPECT_STREQ(out, "");
}
#undef FFFD

TEST(JsonNumber, TheShortestOfFifteenToSeventeenDigitsThatReadsBackWhateverTheLocale) {
    const std::string locale = std::setlocale(LC_NUMERIC, nullptr);
    const bool comma_locale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    struct number_case {
        double v;
        const char* json;
    };
    const number_case cases[] = {
        {0.5, "0.5"},        {1.0 / 3, "0.3333333333333333"},   {0.1 + 0.2, "0.30000000000000004"},
        {-1e301, "-1e+301"}, {5e-324, "4.94065645841247e-324"}, {std::nan(""), "null"},
        {-HUGE_VAL, "null"}};
    for (const number_case& c : cases) {
        char out[json_number_size];
        EXPECT_STREQ(format_json_number(c.v, out), c.json);
    }
    std::setlocale(LC_NUMERIC, locale.c_str());
    if (!comma_locale) GTEST_SKIP() << "no de_DE.UTF-8 locale: checked in the C locale only";
}
