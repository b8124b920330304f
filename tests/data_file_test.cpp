#include "data_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "program_runner.h"

namespace {

std::tm broken_down(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

std::string printf_row(double time_s, double volt, double sensitivity = 0.5) {
    double g = volt / sensitivity;
    char row[2 * max_row_size];
    int size = std::snprintf(row, sizeof row, row_format, time_s, volt, g, g * standard_gravity);
    return std::string(row, static_cast<std::size_t>(size));
}

struct temp_dir {
    std::string path = make_temp_dir();
    ~temp_dir() { remove_tree(path); }
};

}  // namespace

TEST(CsvPath, FollowsTheNamePatternWithZeroPaddingCutToTheBuffer) {
    char path[csv_path_size];
    format_csv_path(path, sizeof path, "/home/pi/acc_data", broken_down(2025, 3, 14, 9, 30, 5));
    EXPECT_STREQ(path, "/home/pi/acc_data/ai0_accel_20250314_093005.csv");
    format_csv_path(path, sizeof path, "/d", broken_down(12345, 12, 31, 23, 59, 60));
    EXPECT_STREQ(path, "/d/ai0_accel_123451231_235960.csv");
    // A long directory is cut short to the buffer.
    std::string dir(600, 'x');
    format_csv_path(path, sizeof path, dir.c_str(), broken_down(2025, 1, 2, 3, 4, 5));
    EXPECT_EQ(std::strlen(path), csv_path_size - 1);
    EXPECT_EQ(std::string(path), dir.substr(0, csv_path_size - 1));
}

TEST(CsvPath, NumberedVariantsGoBeforeTheEnding) {
    char out[64];
    ASSERT_TRUE(format_numbered_path(out, sizeof out, "/d/ai0_accel_20250314_093005.csv", 2));
    EXPECT_STREQ(out, "/d/ai0_accel_20250314_093005_2.csv");
    ASSERT_TRUE(format_numbered_path(out, sizeof out, "/d/cut_sho", 17));
    EXPECT_STREQ(out, "/d/cut_sho_17");
    char small[12];
    EXPECT_FALSE(format_numbered_path(small, sizeof small, "/d/abcd.csv", 100));
    char exact[16];  // a name that fills the buffer is used; one byte more, never cut short
    ASSERT_TRUE(format_numbered_path(exact, sizeof exact, "/d/abcd.csv", 100));
    EXPECT_STREQ(exact, "/d/abcd_100.csv");
    EXPECT_FALSE(format_numbered_path(exact, sizeof exact, "/d/abcde.csv", 100));
}

TEST(FileSpan, NextFileStartsAtTheNextLocalMultipleOfTheSpan) {
    // Central European time, with its clock changes on 30 March and 26 October 2025.
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    auto utc = [](int mon, int day, int h, int m, int s) {
        std::tm t = broken_down(2025, mon, day, h, m, s);
        return timegm(&t);
    };
    struct {
        std::time_t start;
        std::uint32_t span_s;
        std::time_t expected;
    } cases[] = {
        {utc(3, 14, 8, 30, 5), 3600, utc(3, 14, 9, 0, 0)},  // 09:30:05 -> 10:00
        {utc(3, 14, 8, 0, 0), 3600, utc(3, 14, 9, 0, 0)},   // on the hour: the next one
        {utc(3, 14, 8, 30, 5), 2, utc(3, 14, 8, 30, 6)},
        {utc(3, 29, 23, 30, 0), 86400, utc(3, 30, 22, 0, 0)},  // a day of 23 hours
        {utc(3, 30, 0, 30, 0), 3600, utc(3, 30, 1, 0, 0)},     // 01:30 -> 03:00, no 02:00
        {utc(10, 26, 0, 30, 0), 3600, utc(10, 26, 1, 0, 0)},   // 02:30 -> 02:00 once more
        {utc(10, 26, 1, 0, 0), 3600, utc(10, 26, 2, 0, 0)},    // -> 03:00
        {utc(3, 14, 8, 30, 5), 0, -1},
    };
    for (const auto& row : cases)
        EXPECT_EQ(next_file_start(row.start, row.span_s), row.expected)
            << "from " << row.start << " by " << row.span_s;
    if (saved)
        setenv("TZ", before.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(CreateDataFile, NeverTouchesAnExistingRecording) {
    temp_dir dir;
    std::string base = dir.path + "/ai0_accel_20250314_093005";
    write_file(base + ".csv", "earlier run\n");
    write_file(base + "_3.csv", "third earlier run\n");
    char path[csv_path_size];
    std::snprintf(path, sizeof path, "%s.csv", base.c_str());
    std::FILE* stream = nullptr;
    ASSERT_EQ(create_data_file(path, sizeof path, &stream), 0);
    EXPECT_EQ(std::string(path), base + "_2.csv") << "the first free number";
    // Locked while written, so that other programs leave it alone.
    int other = open(path, O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_EQ(write_header(stream), 0);
    EXPECT_EQ(close_data_file(stream), 0);
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), 0) << "and free once closed";
    close(other);
    EXPECT_EQ(read_file(base + ".csv"), "earlier run\n");
    EXPECT_EQ(read_file(base + "_3.csv"), "third earlier run\n");
    EXPECT_EQ(read_file(base + "_2.csv"), data_file_header);
}

TEST(CreateDataFile, GivesUpWhenEveryNameIsTakenOrTheDirectoryIsMissing) {
    temp_dir dir;
    std::string base = dir.path + "/r";
    write_file(base + ".csv", "");
    for (unsigned n = 2; n < max_name_suffix; ++n)
        write_file(base + "_" + std::to_string(n) + ".csv", "");
    char path[csv_path_size];
    std::snprintf(path, sizeof path, "%s.csv", base.c_str());
    std::FILE* stream = nullptr;
    ASSERT_EQ(create_data_file(path, sizeof path, &stream), 0) << "the last number is still tried";
    EXPECT_EQ(std::string(path), base + "_999.csv");
    EXPECT_EQ(close_data_file(stream), 0);
    std::snprintf(path, sizeof path, "%s.csv", base.c_str());
    EXPECT_EQ(create_data_file(path, sizeof path, &stream), EEXIST);
    EXPECT_EQ(std::string(path), base + ".csv") << "the message names the designed path";
    EXPECT_EQ(create_data_file(path, std::strlen(path) + 1, &stream), ENAMETOOLONG)
        << "no room for a number in the caller's path";

    std::string missing = dir.path + "/no_such_dir/r.csv";
    std::snprintf(path, sizeof path, "%s", missing.c_str());
    EXPECT_EQ(create_data_file(path, sizeof path, &stream), ENOENT);
    EXPECT_EQ(std::string(path), missing);
}

TEST(WriteBlock, RowsStepByDtFromTheBlockTimeAndFlushOnce) {
    temp_dir dir;
    std::string path = dir.path + "/block.csv";
    std::FILE* stream = std::fopen(path.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(write_header(stream), 0);
    // Worked values: g by division by the sensitivity, then times gravity.
    const double volts[4] = {0.25, 0.0, -0.5, -1e-9};
    std::vector<char> text(row_text_size);
    std::uint64_t bytes = 0;
    ASSERT_EQ(write_block(stream, text.data(), volts, 4, 2.0, 0.0001, 0.5, &bytes), 0);
    std::string expected =
        "2.000000,0.250000,0.500000,4.903325\n"
        "2.000100,0.000000,0.000000,0.000000\n"
        "2.000200,-0.500000,-1.000000,-9.806650\n"
        "2.000300,-0.000000,-0.000000,-0.000000\n";
    EXPECT_EQ(bytes, expected.size());
    EXPECT_EQ(read_file(path), data_file_header + expected) << "flushed before close";
    ASSERT_EQ(write_block(stream, text.data(), volts, 0, 3.0, 0.0001, 0.5, &bytes), 0);
    EXPECT_EQ(bytes, expected.size());
    EXPECT_EQ(close_data_file(stream), 0);
}

TEST(WriteBlock, HugeValuesOverflowNoBufferAndCutNoRow) {
    // Rows of mixed lengths, then rows all nearly max_row_size long: a time
    // and three values of 307 to 309 integer digits.
    for (bool longest : {false, true}) {
        temp_dir dir;
        std::string path = dir.path + "/huge.csv";
        std::FILE* stream = std::fopen(path.c_str(), "w");
        ASSERT_NE(stream, nullptr);
        std::vector<double> volts(1000);
        for (std::size_t i = 0; i < volts.size(); ++i)
            volts[i] = longest        ? -1.7e308 / 2 / standard_gravity
                       : (i % 3 == 0) ? -1.7976931348623157e308
                       : (i % 3 == 1) ? 1e300
                                      : 0.25;
        const double rel = longest ? -1.7976931348623157e308 : 7.0;
        std::vector<char> text(row_text_size + max_row_size, '#');  // a guard behind the buffer
        std::uint64_t bytes = 0;
        ASSERT_EQ(write_block(stream, text.data(), volts.data(), 1000, rel, 0.0001, 0.5, &bytes),
                  0);
        EXPECT_EQ(close_data_file(stream), 0);
        EXPECT_EQ(std::string(text.begin() + row_text_size, text.end()),
                  std::string(max_row_size, '#'))
            << "written beyond the row buffer";
        std::string expected;
        for (std::size_t i = 0; i < volts.size(); ++i)
            expected += printf_row(rel + i * 0.0001, volts[i]);
        EXPECT_GT(expected.size(), 4 * row_text_size);
        EXPECT_EQ(bytes, expected.size());
        EXPECT_TRUE(read_file(path) == expected);
    }
}

TEST(WriteBlock, FailuresAreReportedAndTheFileIsCutBackToWholeRows) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(write_header(full), ENOSPC);
    const double volts[2] = {0.1, 0.2};
    std::vector<char> text(row_text_size);
    std::uint64_t bytes = 0;
    EXPECT_EQ(write_block(full, text.data(), volts, 2, 0.0, 0.0001, 0.5, &bytes), ENOSPC);
    std::vector<double> huge(1000, 1e300);  // fails while the block is still being formatted
    EXPECT_EQ(write_block(full, text.data(), huge.data(), 1000, 0.0, 0.0001, 0.5, &bytes), ENOSPC);
    EXPECT_EQ(bytes, 0u);
    std::fclose(full);
    int sealed = memfd_create("sealed", MFD_ALLOW_SEALING);
    ASSERT_EQ(fcntl(sealed, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW), 0);
    std::FILE* refused = fdopen(sealed, "w");
    EXPECT_EQ(write_header(refused), EPERM) << "the failure's own errno, whatever it is";
    EXPECT_EQ(cut_back_data_file(refused, 1), EPERM);
    std::fclose(refused);

    temp_dir dir;
    std::string path = dir.path + "/cut.csv";
    std::FILE* stream = std::fopen(path.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(write_header(stream), 0);
    std::fputs("0.000000,0.1", stream);  // a block cut short, still buffered
    // errno as some earlier call left it: success is 0 all the same.
    errno = EIO;
    ASSERT_EQ(cut_back_data_file(stream, static_cast<off_t>(data_file_header_size)), 0);
    EXPECT_EQ(sync_data_file(stream), 0);
    EXPECT_EQ(close_data_file(stream), 0);
    EXPECT_EQ(read_file(path), data_file_header)
        << "nothing buffered reaches the file after the cut";
}
