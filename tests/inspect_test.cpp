// The inspector's parts on data made here: the row parser and the streaming
// reader, the statistics, the spectrum and the picture's envelope.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "compact_file.h"
#include "csv_reader.h"
#include "data_text.h"
#include "history.h"
#include "inspect_stats.h"
#include "output_file.h"
#include "picture.h"
#include "read_run.h"
#include "row_feed.h"
#include "spectrogram.h"
#include "spectrum.h"
#include "summary_format.h"
#include "svg_draw.h"
#include "svg_plot.h"
#include "trend.h"

namespace {

constexpr double sensitivity = 0.5;
constexpr double pi = 3.14159265358979323846;

bool parse(const std::string& line, csv_row* row, row_problem* problem) {
    // An exact-size copy: any read past the end is a read past the buffer.
    std::vector<char> copy(line.begin(), line.end());
    return parse_row(copy.data(), copy.size(), row, problem);
}

// A descriptor holding `content`, read from its start.
int memory_file(const std::string& content) {
    int fd = memfd_create("inspect_test", 0);
    if (fd < 0) return -1;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct read_outcome {
    std::vector<csv_row> rows;
    read_status status;
    read_failure failure;
    interrupted_tail tail;
    std::uint64_t bytes;
    std::uint64_t as_numbers;  // rows from a compact file's columns
};

// A data file's text as it is, or in the archiver's compact form.
std::string in_form(const std::string& text, bool compact) {
    return compact ? compact_text_of(text) : text;
}

read_outcome read_all(const std::string& content, std::size_t buffer_size = csv_reader_min_buffer,
                      bool last_of_run = false) {
    read_outcome outcome{};
    int fd = memory_file(content);
    EXPECT_GE(fd, 0);
    csv_reader reader;
    EXPECT_EQ(csv_reader_attach(&reader, fd, buffer_size), 0);
    reader.last_of_run = last_of_run;
    csv_row row;
    while ((outcome.status = csv_reader_next(&reader, &row)) == read_status::row)
        outcome.rows.push_back(row);
    outcome.failure = reader.failure;
    outcome.tail = reader.tail;
    outcome.bytes = csv_reader_bytes(&reader);
    outcome.as_numbers = reader.rows_as_numbers;
    // Finished is final.
    EXPECT_EQ(csv_reader_next(&reader, &row), outcome.status);
    csv_reader_close(&reader);
    close(fd);
    return outcome;
}

std::string message_of(const read_failure& failure, std::uint64_t rows_before = 0) {
    char text[512];
    describe_read_failure(failure, rows_before, text, sizeof text);
    return text;
}

}  // namespace

// ---- One row --------------------------------------------------------------

// Rows as the recorder writes them, "-0.000000" among them, then the
// spellings of values that are not finite and the largest value.
TEST(ParseRow, AcceptsWhatTheRecorderWritesAndReadsItBackExactly) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> volts(-10.0, 10.0);
    std::uniform_real_distribution<double> times(0.0, 90000.0);
    std::vector<std::string> lines;
    for (int i = 0; i < 20000; ++i) {
        const double t = times(random);
        lines.push_back(row_text(t, i % 100 == 0 ? -1e-8 : volts(random)));
        lines.back().pop_back();
    }
    const std::size_t recorded = lines.size();
    char largest[max_field_size + 1];
    std::snprintf(largest, sizeof largest, "%.6f", 1.7976931348623157e308);
    lines.insert(lines.end(), {"0.000100,nan,-nan,inf", "-inf,0.000000,0.000000,0.000000",
                               std::string("0.000000,0.000000,0.000000,") + largest});
    for (const std::string& text : lines) {
        csv_row row{};
        row_problem problem{};
        ASSERT_TRUE(parse(text, &row, &problem)) << text;
        double expected[4];
        // NOLINTNEXTLINE(cert-err34-c): the count of converted fields is checked
        ASSERT_EQ(std::sscanf(text.c_str(), "%lf,%lf,%lf,%lf", &expected[0], &expected[1],
                              &expected[2], &expected[3]),
                  4);
        const double read[] = {row.time_s, row.volt, row.accel_g, row.accel_ms2};
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE(read[k] == expected[k] || (std::isnan(read[k]) && std::isnan(expected[k])))
                << text;
        EXPECT_TRUE(&text - lines.data() >= static_cast<std::ptrdiff_t>(recorded) ||
                    row_consistent(row, sensitivity))
            << text;
    }
}

struct bad_line {
    std::string line;
    row_fault fault;
    int field;
    std::size_t column;
};

void PrintTo(const bad_line& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class ParseRowRejects : public ::testing::TestWithParam<bad_line> {};

TEST_P(ParseRowRejects, WithTheFirstFaultAndWhereItIs) {
    const bad_line& c = GetParam();
    csv_row row{};
    row_problem problem{};
    ASSERT_FALSE(parse(c.line, &row, &problem)) << c.line;
    EXPECT_EQ(problem.fault, c.fault) << c.line;
    EXPECT_EQ(problem.field, c.field) << c.line;
    EXPECT_EQ(problem.column, c.column) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseRowRejects,
    ::testing::Values(
        bad_line{"", row_fault::empty_line, 0, 0},
        bad_line{"0.000100,0.512345,1.024690,10.048694\r", row_fault::carriage_return, 0, 37},
        bad_line{"0.000100,0.5123451.024690,10.048694", row_fault::field_count, 0, 0},
        bad_line{"0.000100,0.512345,1.024690,10.048694,", row_fault::field_count, 0, 0},
        bad_line{"0.000100,0.51234,1.024690,10.048694", row_fault::decimals, 2, 12},
        bad_line{"0.000100,0.512345,1.0246901,10.048694", row_fault::decimals, 3, 21},
        bad_line{"0.000100,0.512345,1.024690,10", row_fault::no_decimal_point, 4, 30},
        bad_line{"+0.000100,0.512345,1.024690,10.048694", row_fault::plus_sign, 1, 1},
        bad_line{"0.000100,-+0.512345,1.024690,10.048694", row_fault::plus_sign, 2, 11},
        bad_line{"0.000100, 0.512345,1.024690,10.048694", row_fault::blank, 2, 10},
        bad_line{"0.000100,0.512345 ,1.024690,10.048694", row_fault::blank, 2, 18},
        bad_line{"0.000100,5.12345e-1,1.024690,10.048694", row_fault::exponent, 2, 17},
        bad_line{"1E-4,0.512345,1.024690,10.048694", row_fault::exponent, 1, 2},
        bad_line{"0.000100,,1.024690,10.048694", row_fault::empty_field, 2, 10},
        bad_line{"0.000100,0.512345,1.024690,", row_fault::empty_field, 4, 28},
        bad_line{".000100,0.512345,1.024690,10.048694", row_fault::no_integer_digits, 1, 1},
        bad_line{"-,0.512345,1.024690,10.048694", row_fault::no_integer_digits, 1, 2},
        bad_line{"00.000100,0.512345,1.024690,10.048694", row_fault::leading_zero, 1, 1},
        bad_line{"0.000100,0x512345,1.024690,10.048694", row_fault::bad_character, 2, 11},
        bad_line{"0.000100,0.512345,1.0246.0,10.048694", row_fault::bad_character, 3, 25},
        bad_line{"0.000100,NaN,1.024690,10.048694", row_fault::bad_character, 2, 10},
        bad_line{"0.000100,nan1,1.024690,10.048694", row_fault::bad_character, 2, 10},
        bad_line{"0.000100,0.512345,1.024690,10.04869\x01", row_fault::bad_character, 4, 36},
        // Larger than the largest value, and more integer digits than it has.
        bad_line{"0.000000,0.000000,0.000000," + std::string(309, '9') + ".000000",
                 row_fault::out_of_range, 4, 28},
        bad_line{"0.000000,0.000000,0.000000,1" + std::string(309, '9') + ".000000",
                 row_fault::integer_too_long, 4, 28}));

// ---- The whole file -------------------------------------------------------

// Every row up to the first bad one, and that one's line, wherever the
// buffer's boundaries fall.
TEST(CsvReader, ReadsEveryRowUpToTheFirstBadOneWhereverTheBufferBoundariesFall) {
    const int rows = 5000;
    const std::string good =
        rows_text(rows, [](int i) { return 0.5 + 0.25 * std::sin(i * 0.0314); });
    const std::string content = good +
                                "0.500100,0.500000,1.000000,9.80665\n"  // five decimals
                                "garbage\n";
    for (bool compact : {false, true})
        for (std::size_t buffer :
             {csv_reader_min_buffer, csv_reader_min_buffer + 37, std::size_t{1} << 20}) {
            read_outcome outcome = read_all(in_form(content, compact), buffer);
            EXPECT_EQ(outcome.status, read_status::failed);
            EXPECT_EQ(outcome.failure.fault, read_fault::bad_row);
            EXPECT_EQ(outcome.failure.line, rows + 2u);
            EXPECT_EQ(outcome.failure.problem.fault, row_fault::decimals);
            EXPECT_EQ(outcome.failure.problem.field, 4);
            ASSERT_EQ(outcome.rows.size(), static_cast<std::size_t>(rows));
            EXPECT_EQ(outcome.bytes, good.size()) << "the whole rows'";
            EXPECT_EQ(outcome.as_numbers, compact ? outcome.rows.size() : 0u);
            for (int i = 0; i < rows; i += 997) {
                char expected[32];
                std::snprintf(expected, sizeof expected, "%.6f", 0.5 + 0.25 * std::sin(i * 0.0314));
                EXPECT_EQ(outcome.rows[i].volt, std::strtod(expected, nullptr)) << "row " << i;
            }
        }
}

// Read from the compact form's integer columns, every value is the double
// its "%.6f" text gives: negative, with nine integer digits and more (where
// the parser takes its slower path), up to the columns' largest.
TEST(CsvReader, ACompactFilesColumnsGiveTheDoublesTheirTextGives) {
    std::mt19937_64 random(11);
    const std::int64_t largest = std::int64_t{1} << 50;
    std::vector<std::int64_t> values = {
        0, 1, -1, 999999, 1000000, -1000000, 999999999999999, largest - 1, largest, -largest};
    for (std::int64_t power = 10; power <= largest / 10; power *= 10)
        values.insert(values.end(), {power - 1, power, -power - 1});
    for (int i = 0; i < 40000; ++i) {
        const std::int64_t magnitude = static_cast<std::int64_t>(random() >> (14 + i % 50));
        values.push_back(i % 2 ? -magnitude : magnitude);
    }
    std::string content = data_file_header;
    for (std::size_t i = 0; i + 4 <= values.size(); i += 4) {
        char line[max_row_size];
        char* end = line;
        for (std::size_t k = 0; k < 4; ++k) {
            end = compact_format_millionths(end, values[i + k]);
            *end++ = k < 3 ? ',' : '\n';
        }
        content.append(line, end);
    }
    const read_outcome text = read_all(content);
    const read_outcome numbers = read_all(compact_text_of(content));
    ASSERT_EQ(text.status, read_status::end) << message_of(text.failure);
    ASSERT_EQ(numbers.status, read_status::end) << message_of(numbers.failure);
    ASSERT_EQ(numbers.rows.size(), text.rows.size());
    EXPECT_EQ(numbers.as_numbers, numbers.rows.size());
    EXPECT_EQ(numbers.bytes, content.size());
    auto bits = [](const csv_row& row) {
        std::uint64_t out[4];
        const double fields[] = {row.time_s, row.volt, row.accel_g, row.accel_ms2};
        std::memcpy(out, fields, sizeof out);
        return std::vector<std::uint64_t>(out, out + 4);
    };
    for (std::size_t i = 0; i < text.rows.size(); ++i)
        ASSERT_EQ(bits(numbers.rows[i]), bits(text.rows[i]))
            << "line " << i + 2 << ": " << values[4 * i] << " " << values[4 * i + 1] << " "
            << values[4 * i + 2] << " " << values[4 * i + 3];
}

// After the last whole row: an interrupted tail ends the last file of a run
// and is counted, a fault anywhere else; bytes that are neither a row's start
// nor NUL bytes stay the fault they always were.
TEST(CsvReader, ATailAfterTheLastRowEndsOnlyTheLastFileAndIsCounted) {
    const std::string nuls(5000, '\0');  // longer than a row and the smallest buffer
    struct tail_case {
        std::string tail;
        interrupted_tail counted;  // in the last file; {0, 0}: a fault there too
        read_fault elsewhere;      // in any other file
    };
    const tail_case cases[] = {
        {"0.000300,0.5000", {15, 0}, read_fault::cut_short},
        {"0.000300,0.500000,1.000000,9.806650", {35, 0}, read_fault::cut_short},
        {"-na", {3, 0}, read_fault::cut_short},
        {"0.000300,-", {10, 0}, read_fault::cut_short},
        {nuls, {0, 5000}, read_fault::line_too_long},
        {"0.000300,0.5000" + nuls, {15, 5000}, read_fault::line_too_long},
        {std::string(7, '\0'), {0, 7}, read_fault::cut_short},
        // Neither.
        {"0.000300,0.50x", {}, read_fault::cut_short},
        {"0.3,0.5", {}, read_fault::cut_short},
        {"01.000300", {}, read_fault::cut_short},
        {std::string(400, '1'), {}, read_fault::cut_short},  // more digits than any double
        {"0.0003000", {}, read_fault::cut_short},
        {"0.000300,0.500000,1.000000,9.806650,", {}, read_fault::cut_short},
        {"0.000300" + std::string(10, '\0') + "7", {}, read_fault::cut_short},
        {nuls + "7", {}, read_fault::line_too_long},
        {std::string(100, '\0') + "1\n", {}, read_fault::bad_row},
        {"0.000300,0.5\r", {}, read_fault::cut_short},
    };
    const std::string rows = data_file_header + row_text(0.0001, 0.5) + row_text(0.0002, 0.5);
    // The compact form carries the tail as text: the same outcome.
    for (const tail_case& c : cases)
        for (int form = 0; form < 3; ++form) {
            const bool compact = form == 2;
            const std::size_t buffer = form == 0 ? csv_reader_min_buffer : std::size_t{1} << 20;
            SCOPED_TRACE(testing::Message()
                         << &c - cases << (compact ? " compact" : " buffer ") << buffer);
            const bool counted = tail_bytes(c.counted) > 0;
            read_outcome last = read_all(in_form(rows + c.tail, compact), buffer, true);
            EXPECT_EQ(last.status, counted ? read_status::end : read_status::failed);
            EXPECT_EQ(last.failure.fault, counted ? read_fault::none : c.elsewhere);
            EXPECT_EQ(last.tail.row_bytes, counted ? c.counted.row_bytes : 0u);
            EXPECT_EQ(last.tail.nul_bytes, counted ? c.counted.nul_bytes : 0u);
            EXPECT_EQ(last.rows.size(), 2u);
            read_outcome middle = read_all(in_form(rows + c.tail, compact), buffer);
            EXPECT_EQ(middle.failure.fault, c.elsewhere);
            EXPECT_EQ(middle.failure.line, 4u);
            EXPECT_EQ(tail_bytes(middle.tail), 0u);
        }
}

// Damage in a compact file is named at the line where the reading stops:
// the first of the frame that fails, or of the frame the file ends in.
TEST(CsvReader, ACompactFileDamagedOrCutShortSaysSoAtTheLineItStops) {
    const std::string content =
        rows_text(40000, [](int i) { return 0.5 + 0.25 * std::sin(i * 0.01); });
    const std::string packed = compact_text_of(content);
    std::size_t last_frame = 0;  // where the frame the damage falls in starts
    for (std::size_t at = 0; at < content.size();) {
        last_frame = at;
        at += compact_frame_cut(content.data() + at, content.size() - at, true);
    }
    const std::uint64_t lines =
        static_cast<std::uint64_t>(std::count(content.data(), content.data() + last_frame, '\n'));
    ASSERT_GT(last_frame, 0u) << "two frames at least";
    std::string flipped = packed;
    flipped[packed.size() - 1000] ^= 0x01;

    const read_outcome damaged = read_all(flipped);
    EXPECT_EQ(damaged.failure.fault, read_fault::compact_damaged);
    EXPECT_EQ(damaged.rows.size(), lines - 1);
    EXPECT_EQ(message_of(damaged.failure),
              "line " + std::to_string(lines + 1) +
                  ": compact file damaged: a frame's content fails its checksum");
    const read_outcome cut = read_all(packed.substr(0, packed.size() - 1000));
    EXPECT_EQ(cut.failure.fault, read_fault::compact_cut_short);
    EXPECT_EQ(message_of(cut.failure, cut.rows.size()),
              "line " + std::to_string(lines + 1) +
                  ": compact file cut short: the file ends inside a frame; " +
                  std::to_string(lines - 1) + " whole rows before it");
}

TEST(CsvReader, RefusesFilesThatAreNotDataFiles) {
    struct refused_file {
        std::string content;
        read_fault fault;
    };
    const refused_file files[] = {
        {"", read_fault::empty_file},
        {"Time(s),Volt(V),Acc", read_fault::header_cut_short},
        {"Time(s),Volt(V),Accel(g),Accel(m/s^2)", read_fault::header_cut_short},
        {"Time(s),Volt(V),Accel(g),Accel(m/s^2)\r\n", read_fault::bad_header},
        {"Time(s),Volt(V),Accel(g),Accel(m/s^2),x\n", read_fault::bad_header},
        {"\177ELF" + std::string(60, '\0'), read_fault::binary_data},
        {"Time(s),Volt(V)\177Accel(g),Accel(m/s^2)\n", read_fault::binary_data},  // DEL alone
        {data_file_header + std::string(5000, '1'), read_fault::line_too_long},
    };
    for (bool compact : {false, true}) {
        for (const refused_file& file : files)
            EXPECT_EQ(read_all(in_form(file.content, compact)).failure.fault, file.fault)
                << &file - files;

        read_outcome wrong = read_all(in_form("time,volt,g,ms2\n0.000100,0.5,1.0,9.8\n", compact));
        EXPECT_EQ(wrong.failure.fault, read_fault::bad_header);
        EXPECT_STREQ(wrong.failure.excerpt, "time,volt,g,ms2");
        EXPECT_EQ(
            read_all(in_form(data_file_header + std::string(5000, '1'), compact)).failure.line, 2u);
    }
}

TEST(RowFeed, HandsOverEveryRowInOrderFromASecondThread) {
    const std::uint64_t rows = 3 * row_block_size + 5;
    const int fd = memory_file(rows_text(rows, 0.5));
    csv_reader reader;
    ASSERT_EQ(csv_reader_attach(&reader, fd, csv_reader_min_buffer), 0);
    row_feed* feed = new row_feed;
    row_feed_start(feed, &reader);
    EXPECT_TRUE(feed->threaded);
    std::uint64_t seen = 0;
    for (bool last = false; !last;) {
        const row_block* block = row_feed_next(feed);
        EXPECT_EQ(block->first_line, seen + 2);
        for (std::size_t i = 0; i < block->count; ++i, ++seen)
            ASSERT_NEAR(block->rows[i].time_s, seen * 1e-4, 1e-9);
        last = block->last;
        row_feed_release(feed);
    }
    row_feed_finish(feed);
    EXPECT_FALSE(feed->threaded) << "nothing left to release";
    EXPECT_EQ(seen, rows);
    delete feed;
    csv_reader_close(&reader);
    close(fd);
}

// A directory put in the output's place while it is written: the rename fails.
TEST(OutputFile, AFailedRenameIsReportedAndLeavesNoTemporaryFile) {
    char dir[] = "/tmp/acc_output_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string target = std::string(dir) + "/plot.svg";
    output_file out;
    ASSERT_EQ(output_file_open(&out, target.c_str()), 0);
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    std::fputs("picture", out.stream);
    EXPECT_EQ(output_file_commit(&out), EISDIR);
    EXPECT_EQ(output_file_open(&out, (target + std::string(4096, 'x')).c_str()), ENAMETOOLONG);
    EXPECT_EQ(rmdir(target.c_str()), 0);
    EXPECT_EQ(rmdir(dir), 0) << "the temporary file is removed";
}

// ---- Statistics -----------------------------------------------------------

// Each test's statistics at this build's settings, deleted however it ends.
class InspectStats : public ::testing::Test {
protected:
    inspect_stats* stats = new inspect_stats;
    void SetUp() override { stats_init(stats, 10000.0, sensitivity, 0.05); }
    ~InspectStats() override { delete stats; }
};

TEST_F(InspectStats, TellsGapsAndOverlapsFromJitter) {
    // Blocks of 1000 rows; their starts stray by up to 3 ms, one block is
    // lost (0.1 s gap) and one starts 0.2 s early.
    const double offsets[] = {0.0, 0.003, -0.002, 0.1, 0.1, -0.1, -0.1, 0.001};
    std::uint64_t line = 1;
    std::vector<step_kind> kinds;
    for (int block = 0; block < 8; ++block) {
        double start = 0.1 + block * 0.1 + offsets[block];
        for (int i = 0; i < 1000; ++i) {
            csv_row row{start + i * 1e-4, 0.5, 1.0, standard_gravity};
            step_kind kind = stats_add(stats, row, ++line);
            if (kind != step_kind::regular) kinds.push_back(kind);
        }
    }
    // The last gap: back from -0.1 to +0.001.
    EXPECT_EQ(kinds, (std::vector<step_kind>{step_kind::first, step_kind::gap, step_kind::overlap,
                                             step_kind::gap}));
    EXPECT_EQ(stats->gaps, 2u);
    EXPECT_EQ(stats->overlaps, 1u);
    EXPECT_NEAR(stats->largest_gap_s, 0.102, 1e-9);
    EXPECT_NEAR(stats->largest_overlap_s, 0.2, 1e-9);
    EXPECT_NEAR(stats->missing_s, 0.102 + 0.101, 1e-9);
    EXPECT_NEAR(stats->jitter_late_s, 0.003, 1e-9);
    EXPECT_NEAR(stats->jitter_early_s, 0.005, 1e-9);
    ASSERT_EQ(stats->kept_count, 3u);
    EXPECT_EQ(stats->kept[0].line, 3002u);  // first row of block 3
    EXPECT_NEAR(stats->kept[0].at_s, 0.1 + 0.2 - 0.002 + 999e-4, 1e-9);
    EXPECT_EQ(stats->rows, 8000u);
    EXPECT_NEAR(stats_duration(*stats), (0.1 + 0.7 + 0.001 + 999e-4) - 0.1 + 1e-4, 1e-9);

    // Exactly half a block late, then exactly half a block early: still jitter.
    stats_init(stats, 10000.0, sensitivity, 0.05);
    for (double t : {0.0004, 0.0505, 0.0006}) stats_add(stats, csv_row{t, 0.5, 1.0, 9.80665}, 2);
    EXPECT_EQ(stats->gaps + stats->overlaps, 0u);
    EXPECT_EQ(stats->jitter_late_s, 0.05);
}

TEST_F(InspectStats, CountsEveryDiscontinuityBeyondThoseItKeeps) {
    // 700 steps, alternately 0.1 s late and 0.1 s early.
    double t = 0.0;
    for (int n = 0; n <= 700; ++n) {
        stats_add(stats, csv_row{t, 0.5, 1.0, standard_gravity}, n + 2);
        t += 1e-4 + (n % 2 == 0 ? 0.1 : -0.1);
    }
    EXPECT_EQ(stats->gaps, 350u);
    EXPECT_EQ(stats->overlaps, 350u);
    EXPECT_NEAR(stats->missing_s, 35.0, 1e-9);
    EXPECT_EQ(stats->volt.count, 701u);
    ASSERT_LE(stats->kept_count, kept_discontinuities);
    for (std::size_t i = 0; i < stats->kept_count; ++i) EXPECT_EQ(stats->kept[i].line, i + 3);
}

TEST_F(InspectStats, LevelsOfASineOverWholeCycles) {
    for (int n = 0; n < 100000; ++n) {
        double g = 1.0 + 0.5 * std::sin(2 * pi * 50 * n / 10000.0);
        stats_add(stats, csv_row{n * 1e-4, g * sensitivity, g, g * standard_gravity}, n + 2);
    }
    EXPECT_NEAR(moments_mean(stats->accel_g), 1.0, 1e-12);
    EXPECT_NEAR(moments_rms(stats->accel_g), std::sqrt(1.0 + 0.125), 1e-12);
    EXPECT_NEAR(moments_ac_rms(stats->accel_g), 0.5 / std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(moments_ac_rms(stats->accel_ms2), 0.5 / std::sqrt(2.0) * standard_gravity, 1e-8);
    EXPECT_DOUBLE_EQ(stats->accel_g.max - stats->accel_g.min, 1.0);
}

TEST_F(InspectStats, SumsKeepTheDigitsALargeValueWouldSwallow) {
    moments column{};
    moments_add(&column, 1e16);
    for (int i = 0; i < 10; ++i) moments_add(&column, 1.0);
    moments_add(&column, -1e16);
    EXPECT_EQ(moments_mean(column), 10.0 / 12);
}

TEST(RowConsistent, AllowsWhatRoundingTheVoltageExplainsAndNoMore) {
    const double nan = std::nan("");
    struct consistency_case {
        csv_row row;
        double sensitivity_v_per_g;
        bool consistent;
    };
    const consistency_case cases[] = {
        // 0.5000005 V prints as 0.500000 or 0.500001; g is 1.000001 either way.
        {{0.0, 0.5, 1.000001, 9.806660}, sensitivity, true},
        {{0.0, 0.5, 1.000003, 9.806660}, sensitivity, false},
        {{0.0, 0.5, 1.0, 9.80666 + 30e-6}, sensitivity, false},
        // At 300 mV/g, 0.00000049 V prints as 0.000000 and its 0.00000163 g
        // as 0.000002: the volt's half-unit over the sensitivity plus g's own.
        {{0.0, 0.0, 0.000002, 0.000016}, 0.3, true},
        {{0.0, nan, -nan, nan}, sensitivity, true},
        {{0.0, nan, 1.0, nan}, sensitivity, false},
        {{0.0, 1e308, 1.0, 9.80665}, sensitivity, false},  // g overflows
    };
    for (const consistency_case& c : cases)
        EXPECT_EQ(row_consistent(c.row, c.sensitivity_v_per_g), c.consistent) << &c - cases;
}

// ---- Spectrum -------------------------------------------------------------

namespace {

struct spectrum_run {
    amplitude_spectrum spectrum;
    std::vector<spectral_peak> peaks;
};

// Feeds `samples` in, breaking where `breaks` says, and finds up to five peaks.
spectrum_run analyse(const std::vector<double>& samples, std::size_t segment = 8192,
                     const std::vector<std::size_t>& breaks = {}) {
    spectrum_run run{};
    welch_state welch;
    EXPECT_EQ(welch_init(&welch, segment), 0);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        for (std::size_t b : breaks)
            if (b == i) welch_break(&welch);
        welch_add(&welch, samples[i]);
    }
    EXPECT_EQ(welch_finish(&welch, 10000.0, &run.spectrum), 0);
    welch_free(&welch);
    run.peaks.resize(5);
    run.peaks.resize(find_peaks(run.spectrum, 0.0, run.peaks.data(), run.peaks.size()));
    return run;
}

std::vector<double> tones(std::size_t count, double level,
                          const std::vector<std::pair<double, double>>& hz_amplitude,
                          double noise = 0.0) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> uniform(-noise, noise);
    std::vector<double> samples(count);
    for (std::size_t n = 0; n < count; ++n) {
        double x = level + (noise > 0 ? uniform(random) : 0.0);
        for (const auto& t : hz_amplitude)
            x += t.second * std::sin(2 * pi * t.first * n / 10000.0 + 0.3);
        samples[n] = x;
    }
    return samples;
}

}  // namespace

// Tolerances: the refinement is exact for a lone tone, so 0.01 Hz and 0.5 %
// leave room only for the other tone's and the noise's leakage.
TEST(Spectrum, TonesShowAtTheirFrequenciesWithTheirAmplitudesStrongestFirst) {
    struct tone_case {
        std::size_t count;
        double noise;
        std::vector<std::pair<double, double>> tones;  // Hz and amplitude, strongest first
        std::size_t segment_size, segments;
        double hz_within, share_within;
    };
    const std::size_t overlapping = (100000u - 8192u) / 4096u + 1u;
    const tone_case cases[] = {
        // On or between bins; 610.3515625 Hz is exactly bin 500.
        {100000, 0.004, {{50.0, 0.3}}, 8192, overlapping, 0.01, 0.005},
        {100000, 0.004, {{123.4, 0.3}}, 8192, overlapping, 0.01, 0.005},
        {100000, 0.004, {{610.3515625, 0.3}}, 8192, overlapping, 0.01, 0.005},
        {100000, 0.004, {{2222.2, 0.3}}, 8192, overlapping, 0.01, 0.005},
        {60000, 0.0, {{50.0, 0.5}, {400.0, 0.05}}, 8192, 13, 0.01, 0.005},
        // Fewer samples than one segment, and one whole segment and a part.
        {3001, 0.0, {{50.0, 0.5}}, 3000, 1, 0.05, 0.01},
        {10000, 0.0, {{50.0, 0.5}}, 8192, 1, 0.05, 0.005},
    };
    for (const tone_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " samples, " << c.tones[0].first << " Hz");
        std::vector<std::pair<double, double>> in_order(c.tones.rbegin(), c.tones.rend());
        spectrum_run run = analyse(tones(c.count, 1.0, in_order, c.noise));
        EXPECT_EQ(run.spectrum.segment_size, c.segment_size);
        EXPECT_EQ(run.spectrum.segments, c.segments);
        EXPECT_NEAR(run.spectrum.bin_hz, 10000.0 / c.segment_size, 1e-12);
        ASSERT_GE(run.peaks.size(), c.tones.size());
        for (std::size_t k = 0; k < c.tones.size(); ++k) {
            EXPECT_NEAR(run.peaks[k].frequency_hz, c.tones[k].first, c.hz_within) << k;
            EXPECT_NEAR(run.peaks[k].amplitude, c.tones[k].second,
                        c.tones[k].second * c.share_within)
                << k;
        }
        spectrum_free(&run.spectrum);
    }
}

TEST(Spectrum, TooFewSamplesForASegmentGiveNoSpectrum) {
    welch_state welch;
    ASSERT_EQ(welch_init(&welch, 8192), 0);
    for (int i = 0; i < 15; ++i) welch_add(&welch, 1.0);
    amplitude_spectrum none;
    EXPECT_EQ(welch_finish(&welch, 10000.0, &none), ENODATA);
    welch_free(&welch);
}

TEST(Spectrum, SamplesBeforeABreakNeverShareASegmentWithThoseAfter) {
    // 5000 samples of 1000 Hz, a break, then 50 Hz only: segments made after
    // the break must hold no trace of 1000 Hz.
    std::vector<double> samples = tones(5000, 0.0, {{1000.0, 1.0}});
    std::vector<double> after = tones(40000, 0.0, {{50.0, 0.5}});
    samples.insert(samples.end(), after.begin(), after.end());
    spectrum_run run = analyse(samples, 8192, {5000});
    const std::size_t bin_1000 =
        static_cast<std::size_t>(std::lround(1000.0 / run.spectrum.bin_hz));
    EXPECT_LT(run.spectrum.amplitude[bin_1000], 1e-6);
    EXPECT_EQ(run.spectrum.segments, (40000u - 8192u) / 4096u + 1u);
    spectrum_free(&run.spectrum);

    spectrum_run unbroken = analyse(samples);
    EXPECT_GT(unbroken.spectrum.amplitude[bin_1000], 0.01);
    spectrum_free(&unbroken.spectrum);
}

// Nor does a slow drift: 0.2 g in ten seconds, as a sensor warming up.
TEST(Spectrum, PlainNoiseHasNoPeakAboveTwentyDecibelsOverItsMedianNorHasADrift) {
    for (double drift : {0.0, 0.2}) {
        std::vector<double> samples = tones(200000, 1.0, {}, 0.004);
        for (std::size_t n = 0; n < samples.size(); ++n) samples[n] += drift * n / 100000.0;
        spectrum_run run = analyse(samples);
        const std::size_t held = mallinfo2().uordblks;
        double floor = noise_floor(run.spectrum);
        EXPECT_EQ(mallinfo2().uordblks, held) << "the median's copy is freed";
        // White noise of variance s^2 through a Hann window: 4 s sqrt(3 / 8N) per bin.
        double expected = 4 * (0.004 / std::sqrt(3.0)) * std::sqrt(3.0 / (8 * 8192.0));
        if (drift == 0.0) {
            EXPECT_NEAR(floor, expected, expected * 0.1);
        }
        spectral_peak peaks[5];
        EXPECT_EQ(find_peaks(run.spectrum, 10 * floor, peaks, 5), 0u)
            << drift << ": " << peaks[0].frequency_hz << " Hz";
        spectrum_free(&run.spectrum);
    }
}

// ---- The whole pass ------------------------------------------------------

// Passes over files held in memory, the last pass's result freed however the test ends.
class InspectPass : public ::testing::Test {
protected:
    inspect_result* result = new inspect_result;
    bool held = false;
    ~InspectPass() override {
        release();
        delete result;
    }
    // Inspects `text` in place of what was inspected before.
    bool inspect(const std::string& text, const inspect_config& config = default_inspect_config()) {
        release();
        const int fd = memory_file(text);
        held = fd >= 0 && inspect_fd(fd, config, result);
        if (fd >= 0) close(fd);
        return held;
    }
    void release() {
        if (held) inspect_result_free(result);
        held = false;
    }
};

// Freed blocks that wait in a thread's cache still count as in use, and the
// reader thread's timing decides a few of those: hence a margin far below the
// size of any buffer of the pass.
TEST_F(InspectPass, ReturnsEveryBufferItTook) {
    const std::string content = rows_text(
        20000, [](int n) { return 0.5 + 0.1 * std::sin(n * 0.03); }, 0.1);
    for (int pass = 0; pass < 2; ++pass) {  // the first pass also plans the transforms
        const std::size_t before = mallinfo2().uordblks;
        ASSERT_TRUE(inspect(content));
        release();
        if (pass == 1) {
            const double change = static_cast<double>(mallinfo2().uordblks) - before;
            EXPECT_LT(std::fabs(change), 16384.0);
        }
    }
}

TEST_F(InspectPass, AWindowLeavesOutARowWithoutATimeBeforeIt) {
    std::string content = rows_text(100, 0.5, 0.1);
    content.insert(data_file_header_size, "nan,0.500000,1.000000,9.806650\n");
    inspect_config config = default_inspect_config();
    config.have_from = true;
    config.from_s = 0.0;
    ASSERT_TRUE(inspect(content, config));
    EXPECT_EQ(result->stats.rows, 100u);
}

TEST_F(InspectPass, TheTrendSeesUpToHalfTheRate) {
    const double hz = 4095 * 10000.0 / 8192;  // the last bin but one
    ASSERT_TRUE(inspect(rows_text(
        20000, [hz](int n) { return 0.5 + 0.1 * std::sin(2 * pi * hz * n / 10000.0); }, 0.1)));
    ASSERT_GT(result->trend.intervals.count, 0u);
    std::size_t found = 0;
    for (std::size_t i = 0; i < result->trend.intervals.count; ++i) {
        const double dominant_hz = result->trend.intervals.slots[i].dominant_hz;
        EXPECT_TRUE(std::isnan(dominant_hz) || std::fabs(dominant_hz - hz) < 0.1) << dominant_hz;
        found += !std::isnan(dominant_hz);
    }
    EXPECT_GT(found, 0u);
}

TEST_F(InspectPass, SegmentsSkipTheBlockAfterAGapWhereTheSamplesWereLost) {
    // The recorder stalls inside a read: that block returns 1.5 s late and
    // carries the gap in its time stamp, while the device overruns and the
    // samples jump only after it, under regular time stamps.
    std::string content = data_file_header;
    std::uint64_t n = 0;
    double start = 0.1;
    for (int block = 0; block < 30; ++block) {
        if (block == 10) start += 1.5;
        if (block == 11) n += 15437;  // lost, not a whole number of cycles
        for (int i = 0; i < 1000; ++i, ++n) {
            double volt = 0.5 + 0.25 * std::sin(2 * pi * 50.0 * static_cast<double>(n) / 10000.0);
            content += row_text(start + i * 1e-4, volt);
        }
        start += 0.1;
    }
    ASSERT_TRUE(inspect(content));
    EXPECT_EQ(result->stats.gaps, 1u);
    ASSERT_GE(result->peak_count, 1u);
    EXPECT_NEAR(result->peaks[0].frequency_hz, 50.0, 0.001);
    EXPECT_NEAR(result->peaks[0].amplitude, 0.5, 0.0005);
    // A phase jump inside a segment would spread sidebands around 50 Hz.
    for (std::size_t i = 1; i < result->peak_count; ++i)
        EXPECT_LT(result->peaks[i].amplitude, 1e-4) << result->peaks[i].frequency_hz << " Hz";
}

TEST_F(InspectPass, HalfABlockTellsAGapFromJitterAndNanOrInfLeaveTheSpectrumFinite) {
    // Blocks 40 ms late from block 10 on (jitter), 60 ms later still from
    // block 20 on (a gap), and three samples that are not finite.
    std::string content = data_file_header;
    for (int n = 0; n < 30000; ++n) {
        const int block = n / 1000;
        double start = 0.1 * (block + 1) + (block >= 10 ? 0.04 : 0.0) + (block >= 20 ? 0.06 : 0.0);
        double volt = 0.5 + 0.25 * std::sin(2 * pi * 50.0 * n / 10000.0);
        if (n == 4321 || n == 14321 || n == 24321)
            volt = n < 10000 ? NAN : n < 20000 ? INFINITY : -INFINITY;
        content += row_text(start + (n % 1000) * 1e-4, volt);
    }
    ASSERT_TRUE(inspect(content));
    EXPECT_EQ(result->stats.gaps, 1u);
    EXPECT_EQ(result->stats.overlaps, 0u);
    EXPECT_NEAR(result->stats.largest_gap_s, 0.06, 1e-6);
    EXPECT_NEAR(result->stats.jitter_late_s, 0.04, 1e-6);
    EXPECT_EQ(result->stats.nonfinite_rows, 3u);
    EXPECT_TRUE(std::isfinite(result->noise_floor));
    for (std::size_t i = 0; i < result->env.buckets.count; ++i) {
        const envelope_bucket& b = result->env.buckets.slots[i];
        ASSERT_TRUE(std::isfinite(b.min + b.max)) << i;
    }
    for (std::size_t k = 0; k < result->spectrum.bins; ++k)
        ASSERT_TRUE(std::isfinite(result->spectrum.amplitude[k])) << "bin " << k;
    ASSERT_GE(result->peak_count, 1u);
    EXPECT_NEAR(result->peaks[0].frequency_hz, 50.0, 0.01);
}

TEST(Spectrum, APeakBesideTheLastBinLeansTowardIt) {
    double a[9] = {0, 0, 0, 0, 0, 0, 1.0, 0.8, 1e6};  // a[8]: beyond the last bin
    amplitude_spectrum view{};
    view.amplitude = a;
    view.psd = a;
    view.bins = 8;
    view.bin_hz = 1.0;
    band_levels levels;
    compute_band_levels(view, 1.0, 100.0, &levels);
    EXPECT_EQ(levels.band_bins, 7u);
    EXPECT_EQ(levels.band_high_hz, 7.0) << "the band as far as Nyquist, not to 100 Hz";
    EXPECT_EQ(levels.octave_count, 7u) << "bands whose upper edge is at most 7 Hz";
    EXPECT_NEAR(levels.grms_g, std::sqrt(1.8), 1e-12);
    spectral_peak peak;
    ASSERT_EQ(find_peaks(view, 0.0, &peak, 1), 1u);
    EXPECT_NEAR(peak.frequency_hz, 6.0 + 0.6 / 1.8, 1e-9);
    // Strongest first, and of equal ones the lowest frequency first.
    spectral_peak peaks[2];
    for (double weaker : {0.5, 1.0}) {
        a[3] = weaker;
        ASSERT_EQ(find_peaks(view, 0.0, peaks, 2), 2u);
        EXPECT_EQ(peaks[0].bin, weaker < 1.0 ? 6u : 3u);
        EXPECT_EQ(peaks[1].bin, weaker < 1.0 ? 3u : 6u);
    }
    view.bin_hz = 1e6;  // Nyquist at 8 MHz: more bands below it than are kept
    compute_band_levels(view, 1.0, 100.0, &levels);
    EXPECT_EQ(levels.octave_count, max_octave_bands);
}

// Each test's trend, made the same way and freed once made.
class Trend : public ::testing::Test {
protected:
    trend_state* trend = new trend_state;
    void SetUp() override { ASSERT_EQ(trend_init(trend, 1.0, 16, 1.0), 0); }
    void TearDown() override {
        if (!HasFatalFailure()) trend_free(trend);
    }
    ~Trend() override { delete trend; }
};

// Intervals 0 and 1 merge when the trend is full: the stronger one's frequency stays.
TEST_F(Trend, MergingKeepsTheDominantFrequencyOfTheStrongerInterval) {
    std::vector<double> strong(16, 0.0);
    std::vector<double> weak(16, 0.0);
    strong[4] = 100.0;
    weak[9] = 1.0;
    for (std::size_t i = 0; i <= trend_capacity; ++i) {
        trend_add(trend, static_cast<double>(i), 0.0);
        if (i < 2) trend_add_segment(trend, i == 0 ? strong.data() : weak.data());
    }
    trend_finish(trend);
    EXPECT_EQ(trend->interval_s, 2.0);
    EXPECT_EQ(trend->intervals.slots[0].dominant_hz, 4.0);
}

// Merged when the trend is full, interval 0 (0, 0, 0, 4) and 1 (1, 2) have
// the kurtosis of their six rows together; a constant interval has none.
TEST_F(Trend, MergedIntervalsHaveTheKurtosisOfTheirRowsTogether) {
    const double rows[] = {0.0, 0.0, 0.0, 4.0, 1.0, 2.0};
    for (int i = 0; i < 6; ++i) trend_add(trend, i < 4 ? 0.1 * i : 1.0 + 0.1 * i, rows[i]);
    for (std::size_t i = 2; i <= trend_capacity; ++i) trend_add(trend, static_cast<double>(i), 0.0);
    trend_finish(trend);
    ASSERT_EQ(trend->interval_s, 2.0);
    double mean = 0.0, m2 = 0.0, m4 = 0.0;
    for (double v : rows) mean += v / 6.0;
    for (double v : rows) {
        m2 += (v - mean) * (v - mean) / 6.0;
        m4 += std::pow(v - mean, 4) / 6.0;
    }
    EXPECT_NEAR(trend->intervals.slots[0].kurtosis, m4 / (m2 * m2), 1e-12);
    EXPECT_NEAR(trend->intervals.slots[0].rms_g, std::sqrt(m2), 1e-12);
    EXPECT_TRUE(std::isnan(trend->intervals.slots[1].kurtosis));
}

// With interval 1 empty the slot that fills the trend is an even one, and
// the interval after it shares that slot's index once the interval doubles.
TEST_F(Trend, AnIntervalThatSharesTheLastSlotAfterDoublingJoinsIt) {
    for (std::size_t i = 0; i <= trend_capacity + 1; ++i)
        if (i != 1) trend_add(trend, static_cast<double>(i), i == trend_capacity + 1 ? 5.0 : 0.0);
    trend_finish(trend);
    EXPECT_EQ(trend->interval_s, 2.0);
    const trend_interval& last = trend->intervals.slots[trend->intervals.count - 1];
    EXPECT_EQ(last.rows, 2u);
    EXPECT_EQ(last.max_g, 5.0);
}

// Intervals of RMS 3, 1, 1 and 3 g, the first dominated by 3 Hz, the last
// by 9 Hz: the first of equal ones is named, and every interval counts.
TEST_F(Trend, ExtremesAreFoundInEveryIntervalTheFirstOfEqualOnes) {
    const double rms[] = {3.0, 1.0, 1.0, 3.0};
    std::vector<double> power(16, 0.0);
    for (int n = 0; n < 400; ++n) {
        trend_add(trend, n * 0.01, (n % 2 ? 1 : -1) * rms[n / 100]);
        if (n == 50 || n == 350) {
            std::fill(power.begin(), power.end(), 0.0);
            power[n == 50 ? 3 : 9] = 1.0;
            trend_add_segment(trend, power.data());
        }
    }
    trend_finish(trend);
    EXPECT_EQ(trend->dominant_low_hz, 3.0);
    EXPECT_EQ(trend->dominant_high_hz, 9.0);
    ASSERT_EQ(trend->intervals.count, 4u);
    EXPECT_EQ(trend->lowest_rms, 1u);
    EXPECT_EQ(trend->highest_rms, 0u);
    EXPECT_EQ(trend->highest_peak, 0u);
}

// ---- Picture --------------------------------------------------------------

TEST(Spectrogram, RowsReachTheLastBinAndColumnsMergeInPairsFromTheFirst) {
    spectrogram* s = new spectrogram;
    spectrogram_init(s, 1025, 1.0, 1.0);
    EXPECT_EQ(s->row_first_bin[0], 2u);
    EXPECT_EQ(s->row_first_bin[spectrogram_rows - 1] + s->row_bins[spectrogram_rows - 1], 1025u);
    EXPECT_GT(s->row_bins[spectrogram_rows - 1], 1u);
    std::size_t spanned = 0;  // each bin in one row, or a few near ones in two
    for (std::size_t r = 0; r < spectrogram_rows; ++r) spanned += s->row_bins[r];
    EXPECT_LE(spanned, 1025 + spectrogram_rows);
    std::vector<double> power(1025);
    for (std::size_t i = 0; i <= spectrogram_columns; ++i) {
        std::fill(power.begin(), power.end(), static_cast<double>(i + 1));
        spectrogram_add(s, power.data(), static_cast<double>(i), static_cast<double>(i + 1));
        if (i == 1) {
            EXPECT_EQ(s->columns.count, 2u) << "a column per segment until the picture is full";
        }
    }
    ASSERT_EQ(s->columns.count, spectrogram_columns / 2 + 1);
    EXPECT_EQ(s->columns.slots[0].segments, 2u);
    EXPECT_EQ(s->columns.slots[0].last_s, 2.0);
    EXPECT_EQ(spectrogram_density(*s, s->columns.slots[0], 0), 1.5);
    delete s;
}

namespace {

std::vector<svg_element> picture_of(const inspect_result& result) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&text, &size);
    EXPECT_EQ(write_svg(f, "t", result), 0);
    std::fclose(f);
    std::vector<svg_element> svg;
    EXPECT_TRUE(read_svg(std::string(text, size), &svg));
    std::free(text);
    return svg;
}

}  // namespace

// A machine that starts quiet and then shakes, under noise, with a 0.5 s gap,
// and its picture; the result is freed however the test ends.
class Picture : public InspectPass {
protected:
    void SetUp() override {
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0.0, 0.002);
        for (int n = 0; n < 40000; ++n) {
            const double shake = n < 10000 ? 0.0 : 0.6 * std::sin(2 * pi * 80.0 * n / 10000.0);
            const int block = n / 1000;
            const double t = 0.1 + block * 0.1 + (n % 1000) * 1e-4 + (n >= 25000 ? 0.5 : 0.0);
            content += row_text(t, 0.5 + shake + noise(random));
        }
        ASSERT_TRUE(inspect(content));
        svg = picture_of(*result);
        ASSERT_EQ(svg.back().panel, 3) << "four panels";
        left = number_of(*elements_of(svg, 0, "rect").at(0), "x");
        right = left + number_of(*elements_of(svg, 0, "rect").at(0), "width");
    }
    std::string content = data_file_header;
    std::vector<svg_element> svg;
    double left = 0, right = 0;
};

TEST_F(Picture, TracesFillTheirPanelsWithTheGapMarkedAndTheValueAxesLabelled) {
    std::vector<double> xs[4];
    std::vector<double> value_labels[4];
    for (int p = 0; p < 4; ++p) {
        const svg_element& frame = *elements_of(svg, p, "rect").at(0);
        const double top = number_of(frame, "y");
        const double bottom = top + number_of(frame, "height");
        std::vector<std::string> lines;
        int gap_marks = 0;
        for (const svg_element* e : elements_of(svg, p, "")) {
            gap_marks += e->name == "rect" && attribute_of(*e, "fill") == gap_colour;
            if (e->name == "text" && attribute_of(*e, "text-anchor") == "end" &&
                !e->attributes.count("fill"))
                value_labels[p].push_back(std::strtod(e->text.c_str(), nullptr));
            const std::vector<double> xy =
                numbers_in(attribute_of(*e, "d") + attribute_of(*e, "points"));
            for (std::size_t i = 0; i + 1 < xy.size(); i += 2) {
                xs[p].push_back(xy[i]);
                ASSERT_TRUE(xy[i] >= left && xy[i] <= right) << "panel " << p << ": x " << xy[i];
                ASSERT_TRUE(xy[i + 1] >= top && xy[i + 1] <= bottom) << "panel " << p;
            }
            // Each band goes out along the maxima and back along the minima of the same columns.
            ASSERT_EQ(e->name == "path" ? xy.size() % 4 : 0, 0u) << "panel " << p;
            for (std::size_t i = 0; e->name == "path" && i < xy.size(); i += 2)
                ASSERT_EQ(xy[i], xy[xy.size() - 2 - i]) << "panel " << p;
            // Grid lines and ticks: inside the panel or at its edge, none drawn twice.
            if (e->name != "line") continue;
            ASSERT_TRUE(number_of(*e, "x1") >= left - 10 && number_of(*e, "x2") <= right &&
                        number_of(*e, "y1") >= top && number_of(*e, "y2") <= bottom + 10)
                << "panel " << p;
            lines.push_back(attribute_of(*e, "x1") + "," + attribute_of(*e, "y1") + "," +
                            attribute_of(*e, "x2") + "," + attribute_of(*e, "y2"));
        }
        EXPECT_EQ(xs[p].empty(), p == 3) << "panel " << p << ": only the spectrogram has no trace";
        EXPECT_EQ(gap_marks, p == 1 ? 0 : 2) << "panel " << p << ": the gap's band and tick";
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << "panel " << p;
    }
    // The signal edge to edge, the spectrum and trend from the left edge; the value axes labelled,
    // the spectrum's at decades only.
    for (int p : {0, 1, 2}) EXPECT_EQ(*std::min_element(xs[p].begin(), xs[p].end()), left + 0.5);
    EXPECT_EQ(*std::max_element(xs[0].begin(), xs[0].end()), right - 0.5);
    for (int p : {0, 1, 2}) EXPECT_GE(value_labels[p].size(), 3u) << "panel " << p;
    for (double v : value_labels[1]) EXPECT_NEAR(std::log10(v), std::round(std::log10(v)), 1e-9);
    EXPECT_EQ(*std::max_element(value_labels[1].begin(), value_labels[1].end()), 10.0)
        << "the decade above the 1.2 g peak";
}

TEST_F(Picture, TheSignalResumesWhereTheGapEndsAndTheTrendBreaksThere) {
    // Peak and RMS, before and after the gap, each its own line.
    ASSERT_EQ(elements_of(svg, 0, "path").size(), 2u);
    const double resumes =
        std::floor((3.1 - 0.1) / (4.5999 + 1.0 / 10000.0 - 0.1) * (right - left));
    EXPECT_EQ(numbers_in(attribute_of(*elements_of(svg, 0, "path")[1], "d")).at(0),
              left + 0.5 + resumes);
    std::vector<std::string> trend_lines;
    for (const svg_element* e : elements_of(svg, 2, "polyline"))
        trend_lines.push_back(attribute_of(*e, "points"));
    EXPECT_EQ(trend_lines.size(), 4u);
    std::sort(trend_lines.begin(), trend_lines.end());
    EXPECT_EQ(std::adjacent_find(trend_lines.begin(), trend_lines.end()), trend_lines.end());
}

TEST_F(Picture, NamesItsLinesItsSummaryAndItsAxes) {
    for (const char* part : {"noise floor (median bin)", "peak threshold",
                             "Amplitude spectrum (Hann, 8192 points, 50% overlap",
                             "40000 rows, 4.500 s, 1 gap (red, 0.500 s missing), 0 overlaps"})
        EXPECT_TRUE(std::any_of(svg.begin(), svg.end(), [&](const svg_element& e) {
            return e.text.find(part) != std::string::npos;
        })) << part;
    EXPECT_EQ(elements_of(svg, any_panel, "text", "time (s)").size(), 3u);
    EXPECT_EQ(elements_of(svg, any_panel, "text", "frequency (Hz)").size(), 2u);
}

TEST_F(Picture, TheSpectrogramShowsTheShakingOnItsRowInTheLegendsColours) {
    // The spectrogram's row that holds the shaking's 80 Hz.
    const std::size_t shake_bin =
        static_cast<std::size_t>(std::lround(80.0 / result->spectrum.bin_hz));
    std::size_t shake_row = 0;
    for (std::size_t r = 0; r < spectrogram_rows; ++r)
        if (result->spectro.row_first_bin[r] <= shake_bin &&
            shake_bin < result->spectro.row_first_bin[r] + result->spectro.row_bins[r])
            shake_row = r;
    // The spectrogram's legend after its title: colours, labelled every 12 dB up to the top.
    const std::vector<const svg_element*> panel = elements_of(svg, 3, "");
    std::vector<double> labels;
    std::vector<std::string> colours;
    for (auto e = std::find(panel.begin(), panel.end(),
                            elements_of(svg, 3, "text", "density, dB re 1 g^2/Hz").at(0)) +
                  1;
         e != panel.end(); ++e) {
        if ((*e)->name == "text") labels.push_back(std::strtod((*e)->text.c_str(), nullptr));
        if ((*e)->name == "rect") colours.push_back(attribute_of(**e, "fill"));
    }
    ASSERT_EQ(labels.size(), 6u);
    for (std::size_t i = 1; i < labels.size(); ++i) EXPECT_EQ(labels[i] - labels[i - 1], 12.0);
    // Its image: 16 colours of a palette, the legend's; the shaking at the top level, the
    // quiet start below it and covered from the left edge.
    const std::string href = attribute_of(*elements_of(svg, 3, "image").at(0), "xlink:href");
    ASSERT_EQ(href.rfind("data:image/png;base64,", 0), 0u);
    png_image image;
    ASSERT_TRUE(decode_png(base64_decoded(href.substr(22)), &image));
    ASSERT_EQ(image.width + 0.0, right - left);
    ASSERT_EQ(image.height, spectrogram_rows);
    ASSERT_EQ(image.bit_depth * 10 + image.colour_type, 43);
    ASSERT_EQ(colours.size(), 15u);
    for (std::size_t i = 1; i < 16; ++i) {
        char colour[8];
        std::snprintf(colour, sizeof colour, "#%06x",
                      big_endian_at(image.palette, 3 * i - 1) << 8 >> 8);
        EXPECT_EQ(colours[i - 1], colour) << "colour " << i;
    }
    int top_level = 0, first_column_top = 0;
    // A column while it shakes: brightest on the shaking's row, high frequencies at the top.
    const std::size_t shaking = image.width * 2 / 5;
    int shaking_top = 0, shaking_on_its_row = 0;
    for (std::size_t y = 0; y < image.height; ++y) {
        const unsigned char* row = &image.rows[y * image.stride];
        int blank_runs = 0, previous = 1;
        for (std::size_t x = 0; x < image.width; ++x) {
            const int level = x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15;
            if (x == shaking) shaking_top = std::max(shaking_top, level);
            if (x == shaking && y == spectrogram_rows - 1 - shake_row) shaking_on_its_row = level;
            top_level = std::max(top_level, level);
            blank_runs += level == 0 && previous != 0;
            previous = level;
        }
        EXPECT_EQ(blank_runs, 2) << "blank across the gap and after the last segment only";
        first_column_top = std::max(first_column_top, row[0] >> 4);
        EXPECT_GT(row[0] >> 4, 0) << "every band covered";
    }
    EXPECT_EQ(top_level, 15);
    EXPECT_LT(first_column_top, 15);
    EXPECT_EQ(shaking_on_its_row, shaking_top);
}

TEST_F(Picture, AFewRowsHaveTheirSignalFromTheLeftEdgeAndNoSpectrum) {
    // No gap; the picture says there is no spectrum.
    std::size_t five_rows = 0;
    for (int i = 0; i < 6; ++i) five_rows = content.find('\n', five_rows) + 1;
    ASSERT_TRUE(inspect(content.substr(0, five_rows)));
    const std::vector<svg_element> few = picture_of(*result);
    EXPECT_EQ(elements_of(few, 1, "text", "too few rows for a spectrum").size(), 1u);
    EXPECT_TRUE(elements_of(few, 2, "text", "no rows").empty()) << "their one trend interval";
    EXPECT_EQ(numbers_in(attribute_of(*elements_of(few, 0, "path").at(0), "d")).at(0), left + 0.5);
}

TEST_F(Picture, AStillSignalsSpectrumLiesOnTheFloorAndAPeakAtItsLowestFrequencyIsMarked) {
    ASSERT_TRUE(inspect(rows_text(20000, 0.5, 0.1)));
    const std::vector<svg_element> still = picture_of(*result);
    EXPECT_EQ(attribute_of(*elements_of(still, 1, "polyline").at(0), "points").find("nan"),
              std::string::npos);
    // A peak on the lowest frequency drawn is marked.
    result->peak_count = 1;
    result->peaks[0].frequency_hz = 2 * result->spectrum.bin_hz;
    result->peaks[0].amplitude = 0.5;
    EXPECT_EQ(elements_of(picture_of(*result), 1, "circle").size(), 1u);
}

TEST(Envelope, KeepsEveryExtremeAndEveryRowWhileItMerges) {
    envelope* env = new envelope;
    envelope_init(env);
    const std::uint64_t rows = 1234567;
    for (std::uint64_t n = 0; n < rows; ++n) {
        double v = n == 777777 ? 9.0 : n == 4242 ? -7.0 : std::sin(n * 0.01);
        envelope_add(env, n * 1e-4, v);
    }
    ASSERT_GE(env->buckets.count, envelope_capacity / 2);
    ASSERT_LE(env->buckets.count, envelope_capacity);
    std::uint64_t total = 0;
    double low = 1e9, high = -1e9;
    for (std::size_t i = 0; i < env->buckets.count; ++i) {
        const envelope_bucket& b = env->buckets.slots[i];
        total += b.rows;
        if (i + 1 < env->buckets.count) {
            EXPECT_EQ(b.rows, env->rows_per_bucket);
            EXPECT_LT(b.last_s, env->buckets.slots[i + 1].first_s);
        }
        low = std::min(low, b.min);
        high = std::max(high, b.max);
    }
    EXPECT_EQ(total, rows);
    EXPECT_EQ(low, -7.0);
    EXPECT_EQ(high, 9.0);
    delete env;
}

// ---- History ----------------------------------------------------------------

// The history's intervals from summaries written here, one summary's lines as
// "HH:MM:SS velocity" on 2026-12-08 (no velocity: "HH:MM:SS").
TEST(History, EachIntervalGathersItsSecondsFromEverySummaryAndEveryHour) {
    struct history_case {
        const char* what;
        std::vector<std::vector<std::string>> summaries;
        double from_hour, to_hour, length_s;  // the window in hours of the day
        // Per interval: start hour, seconds, median, min, max, above 5 mm/s, missing.
        std::vector<std::vector<double>> intervals;
    };
    const double none = std::nan(""), open = std::numeric_limits<double>::infinity();
    const history_case cases[] = {
        {"two summaries in one hour",
         {{"08:00:00 1", "08:00:02 3"}, {"08:00:01 2", "08:30:00 10"}},
         -open,
         open,
         3600.0,
         {{8, 4, 2.5, 1, 10, 1, 3596}}},
        {"a clock stepped back comes back to its hour",
         {{"09:00:00 4", "08:59:59 6", "09:00:01 8"}},
         -open,
         open,
         3600.0,
         {{8, 1, 6, 6, 6, 1, 3599}, {9, 2, 6, 4, 8, 1, 3598}}},
        {"a second without a velocity, an hour without a line",
         {{"08:00:00", "10:00:00 2"}},
         -open,
         open,
         3600.0,
         {{8, 1, none, none, none, 0, 3599},
          {9, 0, none, none, none, 0, 3600},
          {10, 1, 2, 2, 2, 0, 3599}}},
        {"a day gathers its hours; the window cuts what it misses",
         {{"08:00:00 1", "11:59:59 2"}, {"12:00:00 50"}},
         8,
         12,
         86400.0,
         {{0, 2, 1.5, 1, 2, 0, 4 * 3600 - 2}}},
    };
    char dir[] = "/tmp/acc_history_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const double day = 1796688000.0;  // 2026-12-08T00:00:00Z
    for (const history_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<summary_read> reads(c.summaries.size());
        for (std::size_t s = 0; s < c.summaries.size(); ++s) {
            const std::string path = std::string(dir) + "/summary.csv.gz";
            gzFile packed = gzopen(path.c_str(), "wb");
            ASSERT_NE(packed, nullptr);
            gzputs(packed, summary_format_line);
            gzputs(packed, summary_header_line);
            for (const std::string& line : c.summaries[s])
                gzprintf(packed, "2026-12-08T%s.000Z,0,10000,0.3,0.5,%s,50,3,0,0\n",
                         line.substr(0, 8).c_str(), line.size() > 9 ? line.c_str() + 9 : "");
            ASSERT_EQ(gzclose(packed), Z_OK);
            EXPECT_TRUE(read_summary(path.c_str(), day + c.from_hour * 3600.0,
                                     day + c.to_hour * 3600.0, &reads[s]));
            EXPECT_EQ(unlink(path.c_str()), 0);
        }
        const std::vector<history_interval> got = group_history(
            reads, day + c.from_hour * 3600.0, day + c.to_hour * 3600.0, c.length_s, 5.0);
        ASSERT_EQ(got.size(), c.intervals.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const history_interval& v = got[i];
            const std::vector<double> figures = {(v.start_unix_s - day) / 3600.0,
                                                 static_cast<double>(v.seconds),
                                                 v.median_velocity_mm_s,
                                                 v.smallest_velocity_mm_s,
                                                 v.largest_velocity_mm_s,
                                                 static_cast<double>(v.above_alarm),
                                                 v.missing_s};
            for (std::size_t k = 0; k < figures.size(); ++k)
                EXPECT_TRUE(figures[k] == c.intervals[i][k] ||
                            (std::isnan(figures[k]) && std::isnan(c.intervals[i][k])))
                    << "interval " << i << " figure " << k << ": " << figures[k];
        }
    }
    EXPECT_EQ(rmdir(dir), 0);
}
