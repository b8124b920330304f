// The real acc_inspect program: its exit status and messages on files that
// are not valid, its report on files that are, and the picture it draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include "byte_source.h"
#include "compact_file.h"
#include "data_text.h"
#include "picture.h"
#include "program_runner.h"

namespace {

constexpr double pi = 3.14159265358979323846;

struct recording_shape {
    int blocks = 30;
    double sensitivity_v_per_g = 0.5;
    int gap_before_block = -1;  // that block starts late by gap_s
    double gap_s = 0.0;
};

// Rows as the recorder writes them: blocks of 1000 samples 0.1 ms apart,
// each block starting 0.1 s after the previous, of 1 g plus 0.5 g at 50 Hz.
std::string recording(const recording_shape& shape) {
    const auto time_of = [&shape](int n) {
        const int b = n / 1000;
        const bool late = shape.gap_before_block >= 0 && b >= shape.gap_before_block;
        return 0.1 + 0.1 * b + (late ? shape.gap_s : 0.0) + n % 1000 * 1e-4;
    };
    return timed_rows_text(
        shape.blocks * 1000, time_of,
        [](int n) { return 0.5 + 0.25 * std::sin(2 * pi * 50.0 * n / 10000.0); },
        shape.sensitivity_v_per_g);
}

class InspectProgram : public ::testing::Test {
protected:
    const std::string dir = make_temp_dir();

    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    void TearDown() override { remove_unless_failed(dir, HasFailure()); }

    program_result inspect(std::vector<std::string> args, std::vector<std::string> env = {}) const {
        return run_program({INSPECT_PATH, std::move(args), dir, std::move(env)});
    }

    program_result shell(const std::string& command) const {
        return run_program({"/bin/sh", {"-c", command}, dir, {}});
    }

    // The run ended with `status`, its standard error only "acc_inspect: " and `message`.
    static void expect_error(const program_result& run, int status, const std::string& message) {
        EXPECT_EQ(run.exit_status, status);
        EXPECT_EQ(run.err, "acc_inspect: " + message + "\n");
    }

    // The run ended with `status` and wrote nothing to standard output, its
    // standard error starting with "acc_inspect: " and `start`.
    static void expect_refused(const program_result& run, int status, const std::string& start) {
        EXPECT_EQ(run.exit_status, status) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("acc_inspect: " + start, 0), 0u) << run.err;
    }

    std::string put(const std::string& name, const std::string& content) const {
        write_file(dir + "/" + name, content);
        return name;
    }

    // `text` at `name` as the gzip command compresses it.
    void put_gzipped(const std::string& name, const std::string& text) const {
        put(name + ".plain", text);
        EXPECT_EQ(shell("exec gzip -c " + name + ".plain > " + name).exit_status, 0);
        EXPECT_EQ(unlink((dir + "/" + name + ".plain").c_str()), 0);
    }

    // `whole` cut every 10000 rows, at block boundaries, into the files of a
    // run in "day" named `names`, each with its provenance; their texts.
    std::vector<std::string> put_run(const std::string& whole,
                                     const std::vector<std::string>& names) const {
        EXPECT_EQ(mkdir((dir + "/day").c_str(), 0755), 0);
        std::vector<std::string> parts;
        std::size_t at = data_file_header_size;
        for (int f = 0; f < static_cast<int>(names.size()); ++f) {
            std::size_t end = at;
            for (int row = 0; row < 10000; ++row) end = whole.find('\n', end) + 1;
            parts.push_back(data_file_header + whole.substr(at, end - at));
            at = end;
            put("day/" + names[f], parts.back());
            put("day/" + names[f].substr(0, names[f].find(".csv")) + ".json",
                provenance_of(run_a, f + 1, f ? names[f - 1] : ""));
        }
        return parts;
    }

    // Whether `text` has a line of these words, however they are spaced.
    static bool has_line(const std::string& text, const std::string& words) {
        for (const std::string& l : split_lines(text))
            if (words_of(l) == words_of(words)) return true;
        return false;
    }
};

}  // namespace

// ---- Files that are not valid ---------------------------------------------

struct invalid_file {
    const char* name;
    std::string content;
    const char* message;  // after "acc_inspect: <file>: "
};

void PrintTo(const invalid_file& c, std::ostream* os) { *os << c.name; }

std::vector<invalid_file> invalid_files() {
    const std::string five_rows = rows_text(5, 0.5, 0.1);

    // A foreign row in the archiver's compact form, carried there as text.
    std::string five_decimals =
        five_rows + "0.100500,0.50000,1.000000,9.806650\n" + five_rows.substr(38);
    std::string long_header = "Time(s),Volt(V),Accel(g),Accel(m/s^2),Temperature(C)\n";
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xff));
    std::string long_line = five_rows + std::string(max_row_size, '1') + "\n";
    return {
        {"long_header", long_header,
         "line 1: wrong header \"Time(s),Volt(V),Accel(g),Accel(m/s^2),Temperatu\", expected "
         "\"Time(s),Volt(V),Accel(g),Accel(m/s^2)\""},
        {"five_decimals_compact", compact_text_of(five_decimals),
         "line 7: field 2 (Volt(V)): 5 decimals, expected 6 (column 12)"},
        // No row begins so: not what an interruption leaves.
        {"cut_short_after_one", five_rows.substr(0, 74) + "0.100100,0.5x",
         "line 3: last line cut short, it has no line end; 1 whole row before it"},
        {"three_fields", five_rows + "0.100500,0.500000,1.000000\n",
         "line 7: 3 fields, expected 4 separated by commas"},
        {"empty", "", "line 1: the file is empty, it has no header line"},
        {"binary", binary, "line 1: binary data, not a data file"},
        {"control_byte_first", "\x1b" + five_rows, "line 1: binary data, not a data file"},
        {"long_line", long_line, "line 7: longer than 1272 bytes, no row is"},
        {"crlf", "Time(s),Volt(V),Accel(g),Accel(m/s^2)\r\n0.000100,0.500000,1.000000,9.806650\r\n",
         "line 1: wrong header \"Time(s),Volt(V),Accel(g),Accel(m/s^2)?\", expected "
         "\"Time(s),Volt(V),Accel(g),Accel(m/s^2)\""},
    };
}

class InspectInvalidFile : public InspectProgram,
                           public ::testing::WithParamInterface<invalid_file> {};

TEST_P(InspectInvalidFile, ExitsOneNamingTheLineAndTheReason) {
    const invalid_file& c = GetParam();
    std::string name = put(std::string(c.name) + ".csv", c.content);
    program_result run = inspect({name});
    EXPECT_EQ(run.out, "");
    expect_error(run, 1, name + ": " + c.message);
}

INSTANTIATE_TEST_SUITE_P(Files, InspectInvalidFile, ::testing::ValuesIn(invalid_files()),
                         [](const ::testing::TestParamInfo<invalid_file>& param_info) {
                             return param_info.param.name;
                         });

TEST_F(InspectProgram, AMissingPathExitsOne) {
    expect_error(inspect({"no_such_file.csv"}), 1,
                 "no_such_file.csv: cannot open: No such file or directory");
    expect_error(inspect({"--follow", "no_such_file.csv"}), 1,
                 "no_such_file.csv: cannot open: No such file or directory");
}

// ---- Usage ----------------------------------------------------------------

TEST_F(InspectProgram, UsageErrorsExitTwoAndShowTheUsage) {
    std::string file = put("ok.csv", recording({}));
    struct usage_case {
        std::vector<std::string> args;
        std::string named;  // what the message must name
    };
    const std::vector<usage_case> wrong = {
        {{}, "no data file given"},
        {{"--bogus", file}, "unknown option --bogus"},
        {{file, "--from", "2026-12-08T02:00:00.9Z"}, "a UTC time for --from or --to needs"},
        {{file, "--svg"}, "--svg needs a file name"},
        {{file, "--svg="}, "--svg needs a file name"},
        {{"-x"}, "unknown option -x"},
        // After values at the bounds, which are taken.
        {{file, "--segment=16", "--peaks=50", "--interval=0.001", "--svg=a.svg", "--svg=b.svg"},
         "--svg given twice"},
        {{file, "--segment=65536", "--peaks=0", "--json", "-", "--json", "-"},
         "--json given twice"},
        {{file, "--sv"}, "unknown option --sv\n"},  // no abbreviations
        {{file, "--peaks"}, "--peaks needs a value"},
        {{file, "--json"}, "--json needs a file name"},
        {{file, "--csv="}, "--csv needs a directory"},
        {{file, "--segment", "1000"}, "--segment: a power of two"},
        {{file, "--segment=8"}, "--segment: a power of two"},
        {{file, "--band", "10:10"}, "--band: LO:HI in Hz with 0 < LO < HI, not 10:10"},
        {{file, "--band=10"}, "--band: LO:HI"},
        {{file, "--band", std::string(64, '1') + ":99"}, "--band: LO:HI in Hz, not 111"},
        {{file, "--interval", "0"}, "--interval: seconds"},
        {{file, "--peaks", "51"}, "--peaks: a count"},
        {{file, "--from", "x"}, "--from: a time"},
        {{file, "--from", "2", "--to", "1"}, "--to must be later than --from"},
        {{file, "--alarm", "3"}, "--alarm needs --follow"},
        {{file, "--across-runs"}, "--across-runs needs --follow"},
        {{"--follow", file, "--across-runs"},
         "--across-runs follows the runs of a directory, not "},
        {{"--follow", file, file}, "--follow reads one file or directory; also given: "},
        {{"--follow", "--json", "-"}, "--follow needs a file or directory"},
        {{"--follow=", file}, "--follow needs a file or directory"},
        {{"--follow=" + file, "--follow"}, "--follow given twice"},
        {{"-"}, "standard input is not read: give the data file's path"},
        {{file, "--svg", "-", "--json", "-"}, "--svg - and --json - both ask for standard output"},
        {{file, "--csv", "-"}, "--csv: a directory, not -"},
        {{"--follow", file, "--prom", "-"}, "--prom: a file name, not -"},
        {{"--follow", file, "--svg", "a.svg"}, "--svg is not for --follow"},
        {{"--follow", file, "--json", "a.json"}, "with --follow the JSON Lines go to standard"},
        {{"--follow", file, "--prom", file}, "--prom " + file + " is the data file"},
        {{"--history", file}, "--history reads the summaries of a directory, not ok.csv"},
        {{"--history", ".", "."}, "--history reads one directory; also given: ."},
        {{"--history", ".", "--svg", "-", "--json", "-"},
         "--svg - and --json - both ask for standard output"},
        {{"--history", ".", "--from", "2"}, "--from or --to in seconds is not for --history"},
        {{"--history", ".", "--follow"}, "--follow is not for --history"},
        {{"--history", ".", "--interval", "60"}, "--interval is not for --history"},
        {{"--history"}, "--history needs a directory"}};
    for (const usage_case& c : wrong) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        program_result run = inspect(c.args);
        // One line of the inspector's own, then the usage.
        expect_refused(run, 2, c.named);
        EXPECT_EQ(run.err.find("\nusage: acc_inspect FILE.csv [--svg OUT.svg]\n"),
                  run.err.find('\n'));
    }
    EXPECT_EQ(access((dir + "/a.svg").c_str(), F_OK), -1) << "nothing written after a usage error";
}

TEST_F(InspectProgram, HelpAndVersionGoToStdoutAndExitZero) {
    program_result help = inspect({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("usage: acc_inspect FILE.csv [--svg OUT.svg]\n", 0), 0u);
    EXPECT_EQ(help.err, "");
    program_result version = inspect({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out.rfind("acc_inspect ", 0), 0u);
    EXPECT_EQ(split_lines(version.out).size(), 1u);
}

// ---- Reports --------------------------------------------------------------

struct report_case {
    const char* name;
    std::string content;
    std::vector<std::string> lines;        // the report has each of these lines
    std::vector<std::string> absent = {};  // and no line that starts so
};

void PrintTo(const report_case& c, std::ostream* os) { *os << c.name; }

std::vector<report_case> report_cases() {
    const std::string intact = recording({});
    char size[64];
    std::snprintf(size, sizeof size, "  %-28s %14zu bytes", "size", intact.size());
    const recording_shape gap{30, 0.5, 10, 0.5};
    const recording_shape overlap{30, 0.5, 10, -0.3};  // the block starts early instead
    std::size_t sixteen_rows = 0;
    for (int line = 0; line < 17; ++line) sixteen_rows = intact.find('\n', sixteen_rows) + 1;
    const std::string header = data_file_header;
    const std::string interrupted = "         the recording or its copy was interrupted; ";
    // A row every 0.1 s: 11 gaps, 10 listed.
    const std::string gaps = timed_rows_text(
        12, [](int n) { return 0.1 * (n + 1); }, [](int) { return 0.5; });
    return {
        {"intact",
         intact,
         {"Verdict  valid data file, 30000 rows; no gaps, no overlaps, every row consistent", size,
          "Rows and time", "Continuity", "Acceleration", "Consistency", "Vibration spectrum",
          "Spectral density and bands", "One-third-octave bands", "Trend",
          "  first row time                     0.100000 s",
          "  duration                           3.000000 s    (last - first + one 0.100 ms step)",
          "  max                                1.500000      14.709975",
          "  peak-to-peak                       1.000000       9.806650",
          "  1         50.000 Hz       0.500000 g",
          "  2.100 s  10000  0.353553 g  0.500000 g  50.000 Hz"},  // the last interval too
         {"    ...", "  no peak", "  no bin", "         the recording", "  left out"}},
        // What a power cut or a copy cut off leaves after the last whole row.
        {"cut_row",
         intact + "3.100000,0.50",
         {"Verdict  valid data file, 30000 rows; no gaps, no overlaps, every row consistent",
          interrupted + "13 bytes after its last whole row left out", size,
          "  left out after the last row              13 bytes (13 of a row cut short, 0 NUL)",
          "  last row time                      3.099900 s"}},
        {"cut_row_then_nul",
         intact + "3.1" + std::string(2, '\0'),
         {interrupted + "5 bytes after its last whole row left out",
          "  left out after the last row               5 bytes (3 of a row cut short, 2 NUL)"}},
        {"gap",
         recording(gap),
         {"Verdict  valid data file, 30000 rows; 1 gap, 0.500 s missing",
          "  gaps                                      1    largest 500.000 ms; 0.500000 s missing "
          "in all",
          "    gap      after 1.099900 s (line 10002): 500.000 ms missing",
          "  overlaps                                  0"}},
        {"overlap", recording(overlap), {"Verdict  valid data file, 30000 rows; 1 overlap"}},
        {"other_sensitivity",
         recording({30, 0.1}),
         {"Verdict  valid data file, 30000 rows; 30000 rows not converted as this build converts",
          "  mismatching rows                      30000    first at line 2",
          "  sensitivity the rows imply          100.000 mV/g (this build: 500.000 mV/g)"}},
        // The verdict claims nothing the rows do not show.
        {"header_only", header, {"Verdict  valid data file, 0 rows"}, {"  gaps", "    ..."}},
        {"nan",
         header + "0.100000,nan,nan,nan\n",
         {"Verdict  valid data file, 1 rows; 1 row with nan or inf"}},
        {"one_row",
         header + "0.100000,0.500000,1.000000,9.806650\n",
         {"  mean                               1.000000       9.806650",
          "  RMS                                1.000000       9.806650",
          "  largest departure from mean        0.000000       0.000000",
          "  too few rows between discontinuities for a spectrum",
          "       0.100 s          1     0.000000 g     0.000000 g              -"}},
        {"sixteen_rows", intact.substr(0, sixteen_rows), {}, {"  too few rows"}},
        {"eleven_gaps", gaps, {"    ... 1 more"}},
    };
}

class InspectReport : public InspectProgram, public ::testing::WithParamInterface<report_case> {};

TEST_P(InspectReport, ShowsWhatTheRowsHoldAndNothingElse) {
    const report_case& c = GetParam();
    program_result run = inspect({put(std::string(c.name) + ".csv", c.content)});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const std::string& line : c.lines) EXPECT_TRUE(has_line(run.out, line)) << line;
    for (const std::string& start : c.absent)
        EXPECT_TRUE(lines_starting_with(run.out, start).empty()) << start;
    if (HasFailure()) std::fprintf(stderr, "%s", run.out.c_str());
}

INSTANTIATE_TEST_SUITE_P(Files, InspectReport, ::testing::ValuesIn(report_cases()),
                         [](const ::testing::TestParamInfo<report_case>& param_info) {
                             return param_info.param.name;
                         });

#ifndef ACC_NO_PRELOAD
TEST_F(InspectProgram, WhereNoSecondThreadStartsTheRowsAreReadOnTheFirst) {
    std::string file = put("intact.csv", recording({}));
    program_result run = inspect({file});
    program_result one_thread =
        inspect({file}, {"LD_PRELOAD=" FAILURE_SHIM_PATH, "ACC_TEST_FAIL_THREAD=1"});
    EXPECT_EQ(one_thread.exit_status, 0);
    EXPECT_EQ(one_thread.out, run.out);
}
#endif

// ---- Picture --------------------------------------------------------------

TEST_F(InspectProgram, ThePictureIsWellFormedAndRendersToAPlot) {
    std::string file = put("a&b<c>'.csv", recording({30, 0.5, 12, 0.7}));
    program_result run = inspect({file, "--svg", "plot.svg"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string text = read_file(dir + "/plot.svg");
    EXPECT_LT(text.size(), 200000u);
    // "-": the same picture on standard output, in the report's place.
    program_result piped = inspect({file, "--svg", "-"});
    EXPECT_EQ(piped.exit_status, 0) << piped.err;
    EXPECT_EQ(piped.out, text);
    std::vector<svg_element> svg;
    ASSERT_TRUE(read_svg(text, &svg));
    EXPECT_EQ(elements_of(svg, -1, "title").at(0)->text, "acc_inspect: a&b<c>'.csv");
    // Up to 256 gaps each is marked; beyond, the picture says only the first are.
    for (const int gaps : {256, 257}) {
        const program_result many = inspect(
            {put("gaps.csv", timed_rows_text(
                                 gaps + 1, [](int n) { return 0.1 * n; }, [](int) { return 0.5; })),
             "--svg", "-"});
        EXPECT_EQ(many.out.find("; only the first ones are marked") != std::string::npos,
                  gaps > 256)
            << gaps;
    }
    // Time labelled under the signal and under the trend, whose scale reaches the 0.5 g peak;
    // frequency ticks, the strongest peak marked and listed, the spectrum's trace.
    for (int panel : {0, 2}) {
        const svg_element& frame = *elements_of(svg, panel, "rect").at(0);
        ASSERT_FALSE(elements_of(svg, panel, "text", "2.0").empty()) << panel;
        EXPECT_GT(number_of(*elements_of(svg, panel, "text", "2.0")[0], "y"),
                  number_of(frame, "y") + number_of(frame, "height"));
    }
    EXPECT_TRUE(has_text(svg, 2, "0.5", "text-anchor", "end"));
    EXPECT_TRUE(has_text(svg, 1, "100", "text-anchor", "middle"));
    EXPECT_TRUE(has_text(svg, 1, "1", "font-weight", "bold"));
    const std::vector<const svg_element*> spectrum = elements_of(svg, 1, "");
    EXPECT_TRUE(std::any_of(spectrum.begin(), spectrum.end(), [](const svg_element* e) {
        return e->text.rfind("1: 50.000 Hz", 0) == 0;
    }));
    EXPECT_GT(numbers_in(attribute_of(*elements_of(svg, 1, "polyline").at(0), "points")).size(),
              200u);
#ifndef ACC_NO_PRELOAD
    // No memory for zlib's state of a stream (5952 bytes in Debian's zlib on
    // 64-bit machines; the window's 64 KiB are asked for by FFTW too): a note
    // takes the spectrogram's image's place.
    run = inspect({file, "--svg", "oom.svg"},
                  {"LD_PRELOAD=" FAILURE_SHIM_PATH, "ACC_TEST_FAIL_ALLOC_SIZE=5952"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::vector<svg_element> oom;
    ASSERT_TRUE(read_svg(read_file(dir + "/oom.svg"), &oom));
    EXPECT_EQ(elements_of(oom, 3, "text", "out of memory for the spectrogram").size(), 1u);
    EXPECT_TRUE(elements_of(oom, 3, "image").empty());
#endif

    program_result rendered = shell("exec rsvg-convert -o plot.png plot.svg");
    if (rendered.exit_status == 127) GTEST_SKIP() << "no rsvg-convert (Debian: librsvg2-bin)";
    ASSERT_EQ(rendered.exit_status, 0) << rendered.err;
    png_image image;
    ASSERT_TRUE(decode_png(read_file(dir + "/plot.png"), &image));
    EXPECT_EQ(image.width, 1000u);
    EXPECT_EQ(image.height, 1280u);
    ASSERT_EQ(image.bit_depth, 8);
    const std::size_t channels = image.colour_type == 6 ? 4 : 3;
    // The trace is blue: count its pixels, and the gap's pinkish red ones.
    std::size_t blue = 0, red = 0;
    for (std::size_t i = 0; i + 2 < image.rows.size(); i += channels) {
        int r = image.rows[i], g = image.rows[i + 1], b = image.rows[i + 2];
        if (b > r + 60 && b > g + 30) ++blue;
        if (r > 200 && g < 215 && b < 215 && r > g + 20) ++red;
    }
    const double total = double(image.width) * image.height;
    EXPECT_GT(blue / total, 0.05) << "the acceleration trace is drawn";
    EXPECT_GT(red / total, 0.005) << "the gap band is drawn";
}

TEST_F(InspectProgram, ScriptsGetTheJsonOnStdoutAndTheTablesAsCsv) {
    std::string file = put("ok.csv", recording({}));
    program_result run =
        inspect({file, "--json", "-", "--csv", "tables", "--interval=0.5", "--peaks", "9"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("{\n", 0), 0u) << "the JSON replaces the text report";
    EXPECT_EQ(run.out.substr(run.out.size() - 3), "\n}\n")
        << "brackets close on lines of their own";
    EXPECT_NEAR(std::strtod(json_value(run.out, "dominant_low_hz").c_str(), nullptr), 50.0, 0.01);
    for (const char* key :
         {"\"file\": \"ok.csv\"", "\"rows_nonfinite\": 0,", "\"min\": 0.5,",
          "\"mean\": ", "\"bins\": 0,\n        \"rms_g\": null",
          "\"velocity_rms_mm_s\": ", "\"segment_points\": 8192", "\"band_low_hz\": 10,",
          "\"lowest_rms_g\": ", "\"highest_rms_first_row_s\": ", "\"crest_factor\": "})
        EXPECT_NE(run.out.find(key), std::string::npos) << key;
    struct table {
        const char* name;
        const char* header;
        std::size_t rows;
        const char* first;  // how the first row begins
    };
    for (const table& t :
         {table{"spectrum.csv", "frequency_hz,amplitude_g,psd_g2_per_hz,velocity_amplitude_mm_s",
                4097, "0,0.000229"},
          table{"third_octave_bands.csv", "centre_hz,low_hz,high_hz,bins,rms_g", 36,
                "1.25,1.12201845,1.41253754,1,0.000132"},
          table{"trend.csv", "start_s,first_row_s,last_row_s,rows,rms_g,peak_g,dominant_hz", 6,
                "0.1,0.1,0.5999,5000,0.35355"}}) {
        std::vector<std::string> lines = split_lines(read_file(dir + "/tables/" + t.name));
        ASSERT_EQ(lines.size(), t.rows + 1) << t.name;
        EXPECT_EQ(lines[0], t.header) << t.name;
        EXPECT_EQ(lines[1].rfind(t.first, 0), 0u) << lines[1];
    }
    run = inspect({put("gap.csv", recording({30, 0.5, 10, 0.5})), "--json", "-"});
    EXPECT_NE(run.out.find("\"kind\": \"gap\",\n        \"after_s\": 1.0999,"), std::string::npos);
    // Figures that rows do not define are null.
    run = inspect({put("header.csv", data_file_header), "--json", "-"});
    for (const char* key : {"\"largest_departure_g\": null", "\"largest_departure_m_s2\": null"})
        EXPECT_NE(run.out.find(key), std::string::npos) << run.out;
    expect_error(inspect({file, "--csv", "ok.csv"}), 1,
                 "ok.csv/spectrum.csv: cannot write: Not a directory");
    EXPECT_EQ(inspect({file, "--csv", "no/such"}).err,
              "acc_inspect: no/such: cannot write: No such file or directory\n");
    // Into the same directory again, a table keeping its mode; then with one
    // table's name taken by a directory.
    ASSERT_EQ(chmod((dir + "/tables/trend.csv").c_str(), 0604), 0);
    EXPECT_EQ(inspect({file, "--csv", "tables"}).exit_status, 0);
    struct stat st {};
    EXPECT_EQ(stat((dir + "/tables/trend.csv").c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0604u);
    ASSERT_EQ(mkdir((dir + "/more").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/more/third_octave_bands.csv").c_str(), 0755), 0);
    expect_error(inspect({file, "--csv", "more"}), 1,
                 "more/third_octave_bands.csv: cannot write: Is a directory");

    // Rows of +-1e300 V overflow the spectrum's power: no number there, and
    // still JSON, from a path that is not UTF-8 too.
    const std::string huge = rows_text(
        100, [](int n) { return n % 2 ? 1e300 : -1e300; }, 0.1);
    run = inspect({put("huge\xe9.csv", huge), "--json", "huge.json"});
    EXPECT_EQ(run.exit_status, 0);
    const std::string json = read_file(dir + "/huge.json");
    EXPECT_NE(json.find("\"file\": \"huge\xef\xbf\xbd.csv\""), std::string::npos) << json;
    EXPECT_NE(json.find("null,null"), std::string::npos);
    for (const char* not_json : {"inf", ": nan", ",nan", "[nan", ",,", "[,", ",]"})
        EXPECT_EQ(json.find(not_json), std::string::npos) << not_json;
    program_result parsed = shell("exec python3 -m json.tool huge.json");
    if (parsed.exit_status == 127)
        GTEST_SKIP() << "python3 is not installed: the JSON is not parsed";
    EXPECT_EQ(parsed.exit_status, 0) << parsed.err;
}

TEST_F(InspectProgram, APictureThatCannotBeWrittenExitsOneAfterTheReport) {
    std::string file = put("ok.csv", recording({}));
    program_result run = inspect({file, "--svg", "no/such/dir/plot.svg"});
    EXPECT_NE(run.out.find("Verdict  valid data file"), std::string::npos);
    expect_error(run, 1, "no/such/dir/plot.svg: cannot write: No such file or directory");
    const std::string long_name(4090, 'p');  // room for the name, none for its temporary's
    expect_error(inspect({file, "--svg", long_name}), 1,
                 long_name + ": cannot write: File name too long");
#ifndef ACC_NO_PRELOAD
    // Storage that cannot store it or close it: reported, and no half
    // picture or temporary file left.
    for (const char* failing : {"ACC_TEST_FAIL_SYNC=1", "ACC_TEST_FAIL_CLOSE=1"}) {
        run = inspect({file, "--svg", "plot.svg"}, {"LD_PRELOAD=" FAILURE_SHIM_PATH, failing});
        expect_error(run, 1, "plot.svg: cannot write: Input/output error");
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{"ok.csv"}) << failing;
    }
    // No memory for the stream once its temporary file is made: that file goes too.
    run = inspect({file, "--svg", "plot.svg"},
                  {"LD_PRELOAD=" FAILURE_SHIM_PATH, "ACC_TEST_FAIL_ALLOC_SIZE=472"});
    if (run.exit_status == 0) GTEST_SKIP() << "this C library's streams are not 472 bytes";
    EXPECT_EQ(run.err, "acc_inspect: plot.svg: cannot write: Cannot allocate memory\n");
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"ok.csv"});
#endif
}

TEST_F(InspectProgram, NeitherTheRecordingNorAnEarlierPictureIsEverOverwritten) {
    const std::string content = recording({});
    std::string file = put("rec.csv", content);
    ASSERT_EQ(symlink("rec.csv", (dir + "/symlink.svg").c_str()), 0);
    ASSERT_EQ(link((dir + "/rec.csv").c_str(), (dir + "/hardlink.svg").c_str()), 0);
    for (const std::string& output : {file, "./" + file, dir + "/" + file,
                                      std::string("symlink.svg"), std::string("hardlink.svg")}) {
        expect_refused(
            inspect({file, "--svg", output}), 2,
            "--svg " + output + " is the data file rec.csv itself; it is never written\n");
    }
    // Nor the report, through standard output appended to the recording.
    expect_refused(shell(shell_command(INSPECT_PATH) + " rec.csv >> rec.csv"), 2,
                   "standard output is the data file rec.csv itself");
    // Nor a table of --csv, whichever of them it would be.
    ASSERT_EQ(link((dir + "/rec.csv").c_str(), (dir + "/trend.csv").c_str()), 0);
    expect_refused(inspect({file, "--csv", "."}), 2, "--csv ./trend.csv is the data file rec.csv");
    ASSERT_EQ(unlink((dir + "/trend.csv").c_str()), 0);
    EXPECT_EQ(read_file(dir + "/rec.csv"), content);

    // A write that fails halfway, here at a file-size limit as on a full
    // disk, leaves the earlier picture as it was and no partial file.
    put("plot.svg", "earlier picture");
    program_options options{
        INSPECT_PATH, {file, "--json", "new.json", "--svg", "plot.svg"}, dir, {}};
    options.file_size_limit = 4096;
    program_result run = run_program(options);
    expect_error(run, 1,
                 "new.json: cannot write: File too large\n"
                 "acc_inspect: plot.svg: cannot write: File too large");
    EXPECT_EQ(read_file(dir + "/plot.svg"), "earlier picture");
    EXPECT_EQ(list_dir(dir),
              (std::vector<std::string>{"hardlink.svg", "plot.svg", "rec.csv", "symlink.svg"}));
}

// ---- A run of files ---------------------------------------------------------

namespace {

// One frame of unknown size with a window of 2^`window_log` bytes, as a
// compressor fed through a pipe writes it.
std::string zstd_streamed(const std::string& text, int window_log) {
    std::string packed(ZSTD_compressBound(text.size()) + 64, '\0');
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
    ZSTD_outBuffer out{packed.data(), packed.size(), 0};
    ZSTD_inBuffer in{text.data(), text.size(), 0};
    ZSTD_compressStream2(c, &out, &in, ZSTD_e_continue);
    while (ZSTD_compressStream2(c, &out, &in, ZSTD_e_end) > 0) {
    }
    ZSTD_freeCCtx(c);
    packed.resize(out.pos);
    return packed;
}

// The text of a report from its statistics on: what the rows show, whatever
// files they came from.
std::string figures_of(const std::string& report) {
    return report.substr(report.find("\nAcceleration"));
}

}  // namespace

TEST_F(InspectProgram, ARunOfFilesIsOneRecordingInSegmentOrder) {
    const std::string whole = recording({30, 0.5, 20, 0.5});  // a gap where files 2 and 3 join
    put("one.csv", whole);
    const std::vector<std::string> names = {"ai0_accel_20261208_020000.csv",
                                            "ai0_accel_20261208_020001.csv.zst",
                                            "ai0_accel_20261208_020002.csv.gz"};
    const std::vector<std::string> parts = put_run(whole, names);
    // The last one in gzip, as a user may have compressed it by hand.
    put("day/" + names[1], zstd_of(parts[1]));
    put_gzipped("day/" + names[2], parts[2]);

    program_result single = inspect({"one.csv"});
    ASSERT_EQ(single.exit_status, 0) << single.err;
    // A directory stands for its run.
    program_result run = inspect({"day"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(split_lines(run.out)[0],
              "Data files  day/" + names[0] + " through day/" + names[2] + " (3 files)");
    EXPECT_EQ(figures_of(run.out), figures_of(single.out));
    EXPECT_EQ(split_lines(run.out)[1], split_lines(single.out)[1]) << "the verdict";
    EXPECT_TRUE(
        has_line(run.out, "ai0_accel_20261208_020001.csv.zst 10000 1.100000 2.099900 valid"))
        << run.out;
    EXPECT_TRUE(has_line(run.out,
                         "gap after 2.099900 s (2026-12-08T02:00:02.000Z to "
                         "2026-12-08T02:00:02.500Z) (at the join of "
                         "ai0_accel_20261208_020001.csv.zst and "
                         "ai0_accel_20261208_020002.csv.gz, line 2): 500.000 ms missing"))
        << run.out;
    EXPECT_TRUE(has_line(run.out, "start (UTC) 2026-12-08T02:00:00.000Z")) << run.out;
    // A clock time picks the rows.
    program_result hour = inspect({"day", "--from", "2026-12-08T02:00:01Z", "--to",
                                   "2026-12-08T02:00:02Z", "--svg", "hour.svg"});
    ASSERT_EQ(hour.exit_status, 0) << hour.err;
    EXPECT_TRUE(has_line(hour.out, "rows 10000")) << hour.out;
    const std::string picture = read_file(dir + "/hour.svg");  // its time axis on the clock
    EXPECT_NE(picture.find(">time (UTC)</text>"), std::string::npos);
    EXPECT_NE(picture.find(">02:00:01.6</text>"), std::string::npos) << picture.substr(0, 4000);
    EXPECT_NE(picture.find("<title>acc_inspect: day/" + names[0] + " through day/" + names[2] +
                           " (3 files)</title>"),
              std::string::npos);
    // A window that misses every row says where the rows are, and nothing is written.
    const struct {
        std::vector<std::string> args;
        std::string where;
    } missed[] = {{{"one.csv", "--to", "0.1"}, "from 0.100000 s to 3.599900 s\n"},
                  {{"one.csv", "--from", "3.6", "--svg", "missed.svg"}, "to 3.599900 s\n"},
                  {{"day", "--from", "2026-12-08T02:00:04Z"},
                   "to 3.599900 s (2026-12-08T02:00:00.000Z to 2026-12-08T02:00:03.500Z)\n"}};
    for (const auto& m : missed) {
        program_result outside = inspect(m.args);
        expect_refused(outside, 4,
                       "no row lies in the window (--from, --to): the rows run from 0.100000 s ");
        EXPECT_EQ(outside.err.substr(outside.err.size() - m.where.size()), m.where);
    }
    EXPECT_EQ(access((dir + "/missed.svg").c_str(), F_OK), -1);
    // Nor any file of the run, nor its provenance, is ever written.
    expect_refused(inspect({"day", "--json", "day/ai0_accel_20261208_020002.json"}), 2,
                   "--json day/ai0_accel_20261208_020002.json is the data file "
                   "day/ai0_accel_20261208_020002.json itself");

    // A row cut short and NUL bytes after the last whole row of the run's
    // last file, compressed too: the rows are read and the interruption
    // shown; where the run goes on after them, they stay a fault.
    const std::string tail = "3.100000,0.5" + std::string(300, '\0');
    put_gzipped("day/" + names[2], parts[2] + tail);
    program_result cut = inspect({"day", "--run", "0123", "--svg", "cut.svg"});
    ASSERT_EQ(cut.exit_status, 0) << cut.err;
    EXPECT_TRUE(has_line(cut.out, names[2] + " 10000 2.600000 3.599900 interrupted")) << cut.out;
    EXPECT_NE(read_file(dir + "/cut.svg")
                  .find(">interrupted: 312 bytes after the last whole row left out</tspan>"),
              std::string::npos);
    cut = inspect({"day", "--run", "0123", "--json", "-"});
    EXPECT_NE(
        cut.out.find("\"valid\": true,\n  \"interrupted\": {\n    \"file\": \"day/" + names[2] +
                     "\",\n    \"left_out_bytes\": 312,\n    \"cut_row_bytes\": 12,\n    "
                     "\"nul_bytes\": 300\n  },\n"),
        std::string::npos)
        << cut.out.substr(0, 400);
    EXPECT_NE(cut.out.find("\"valid\": true,\n      \"left_out_bytes\": 312\n"), std::string::npos);
    EXPECT_NE(cut.out.find("\"clock\": {\n    \"run_id\": \"" + std::string(run_a) +
                           "\",\n    \"synchronized\": true,\n    \"row_time_0_utc\": "
                           "\"2026-12-08T01:59:59.900Z\",\n    \"start_utc\": "
                           "\"2026-12-08T02:00:00.000Z\",\n    \"end_utc\": "
                           "\"2026-12-08T02:00:03.500Z\"\n  },"),
              std::string::npos);
    // The same last file as the archiver's compact form, which carries the
    // tail: a run of .csv, .csv.zst and .csv.acz, its rows read as numbers.
    const std::string compact_name = "ai0_accel_20261208_020002.csv.acz";
    ASSERT_EQ(rename((dir + "/day/" + names[2]).c_str(), (dir + "/gz").c_str()), 0);
    put("day/" + compact_name, compact_text_of(parts[2] + tail));
    program_result acz = inspect({"day", "--json", "acz.json"});
    ASSERT_EQ(acz.exit_status, 0) << acz.err;
    EXPECT_TRUE(has_line(acz.out, "rows read as numbers 10000")) << acz.out;
    EXPECT_NE(read_file(dir + "/acz.json")
                  .find("\"rows_as_numbers\": 10000,\n    \"checks_by_construction\": [\n      "
                        "\"six_decimals\",\n      \"separators\",\n      \"four_fields\"\n    ]"),
              std::string::npos);
    EXPECT_EQ(cut.out.find("rows_as_numbers"), std::string::npos) << "only where it applies";
    // Followed once finished, it ends by itself with its one gap counted.
    program_result followed = inspect({"day", "--follow"});
    EXPECT_EQ(followed.exit_status, 0) << followed.err;
    EXPECT_NE(followed.out.find(": 30000 rows in 3 files, 4 intervals, 1 gap, 0 overlaps\n"),
              std::string::npos)
        << followed.out;
    ASSERT_EQ(unlink((dir + "/day/" + compact_name).c_str()), 0);
    ASSERT_EQ(rename((dir + "/gz").c_str(), (dir + "/day/" + names[2]).c_str()), 0);
    put("day/" + names[1], zstd_of(parts[1] + tail));
    expect_error(inspect({"day/" + names[0], "day/" + names[1], "day/" + names[2]}), 1,
                 "day/" + names[1] +
                     ": line 10002: last line cut short, it has no line end; 10000 whole rows "
                     "before it");

    // Longer than a piece, a line across the join: as the archiver writes
    // it, and as one frame for the whole file, streamed, as the zstd command does.
    for (const std::size_t frame : {compressed_frame_content, whole.size()}) {
        put("one.csv.zst", zstd_of(whole, frame));
        program_result packed = inspect({"one.csv.zst"});
        ASSERT_EQ(packed.exit_status, 0) << packed.err;
        EXPECT_EQ(figures_of(packed.out), figures_of(single.out)) << frame;
    }

    // Damaged compression: each with its own words, and status 1.
    const std::string packed = zstd_of(parts[1]);
    std::string flipped = packed;
    flipped[flipped.size() / 2] ^= 0x10;
    const std::string one_frame = zstd_of(parts[1], parts[1].size());
    put_gzipped("gz1", parts[1]);
    const std::string gz = read_file(dir + "/gz1");
    const struct {
        std::string content;
        const char* words;
    } damaged[] = {{packed.substr(0, packed.size() / 2), ": compressed data cut short; "},
                   {one_frame.substr(0, one_frame.size() / 2), ": compressed data cut short; "},
                   {gz.substr(0, gz.size() / 2), ": compressed data cut short; "},
                   {flipped, ": compressed data corrupt ("},
                   {zstd_streamed(parts[1], max_window_log + 1), " MiB, more memory than is"}};
    for (const auto& d : damaged) {
        put("day/" + names[1], d.content);
        program_result bad = inspect({"day/" + names[0], "day/" + names[1]});
        expect_refused(bad, 1, "day/" + names[1] + ": line ");
        EXPECT_NE(bad.err.find(d.words), std::string::npos) << bad.err;
    }
}

// The archiver turns the file being followed into its compact form once the
// recorder lets go of it: the follower reads it to its end as it opened it
// and goes on into the run's next file, found by the names' stem.
TEST_F(InspectProgram, AFollowerGoesOnPastAFileArchivedWhileItIsRead) {
    const std::vector<std::string> names = {"ai0_accel_20261208_020000.csv",
                                            "ai0_accel_20261208_020001.csv"};
    put("packed", compact_text_of(put_run(recording({20}), names)[0]));
    // The lock on descriptor 9 stands for the recorder's, which the follower
    // does not inherit. Once the follower has the file open, it is archived,
    // then let go.
    const program_result run = shell(
        "exec 9< day/" + names[0] + " && flock -x 9 || exit 1\n" + shell_command(INSPECT_PATH) +
        " day --follow 9<&- &\n"
        "for i in $(seq 600); do\n"
        "  ls -l /proc/$!/fd 2>/dev/null | grep -q " +
        names[0] +
        " && break; sleep 0.1\n"
        "done\n"
        "mv packed day/" +
        names[0] + ".acz && rm day/" + names[0] + " && exec 9<&- && wait $!");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find(": 20000 rows in 2 files, "), std::string::npos) << run.out << run.err;
}

TEST_F(InspectProgram, EachRecordingIsCheckedAtTheSettingsItsProvenanceGives) {
    const char* at_200 = "{\"sample_rate_hz\": 10000.0, \"sensitivity_mv_per_g\": 200.0}";
    const char* start = "2026-12-08T01:59:59.900000Z";
    put("a.csv", recording({30, 0.2}));
    put("a.json", provenance_of(run_a, 1, "", start, at_200));
    put("built.csv", recording({30, 0.5}));
    auto velocity_of = [](const std::string& json) {
        return std::strtod(json_value(json, "velocity_rms_mm_s").c_str(), nullptr);
    };
    const program_result text = inspect({"a.csv"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_TRUE(has_line(text.out, "mean 2.500000 24.516625")) << text.out;
    EXPECT_TRUE(has_line(text.out,
                         "sensitivity and sample rate (10000 Hz) from the recording's "
                         "provenance)"))
        << text.out;
    const program_result json = inspect({"a.csv", "--json", "-"});
    const program_result built = inspect({"built.csv", "--json", "-"});
    for (const char* key : {"\"mismatching_rows\": 0", "\"settings_from\": \"provenance\"",
                            "\"sensitivity_mv_per_g\": 200", "\"build_sensitivity_mv_per_g\": 500"})
        EXPECT_NE(json.out.find(key), std::string::npos) << key;
    EXPECT_NE(built.out.find("\"settings_from\": \"compiled-in\""), std::string::npos);
    EXPECT_GT(velocity_of(built.out), 0.0);
    EXPECT_NEAR(velocity_of(json.out) / velocity_of(built.out), 2.5, 1e-6);

    // A run whose files were recorded at different settings is refused.
    put("b.csv", recording({30, 0.5}));
    put("b.json", provenance_of(run_a, 2, "a.csv", start,
                                "{\"sample_rate_hz\": 10000.0, "
                                "\"sensitivity_mv_per_g\": 500.0}"));
    expect_error(inspect({"a.csv", "b.csv"}), 2,
                 "a.csv (10000 Hz, 200 mV/g) and b.csv (10000 Hz, 500 mV/g) were recorded at "
                 "different settings; nothing read");

    // Followed across runs, the next run is read at its own settings: at
    // 5000 Hz, its 50 Hz is found at 50 Hz.
    put_run(recording({10}), {"ai0_accel_20261208_020000.csv"});
    put("b.csv", timed_rows_text(
                     10000, [](int n) { return 0.1 + n * 2e-4; },
                     [](int n) { return 0.5 + 0.25 * std::sin(2 * pi * 50.0 * n / 5000.0); }));
    put("b.json",
        provenance_of("fedcba9876543210fedcba9876543210", 1, "", "2026-12-08T03:00:00.000000Z",
                      "{\"sample_rate_hz\": 5000.0, \"sensitivity_mv_per_g\": 500.0}"));
    const auto until_next_run_said = [](int times) {
        return "for i in $(seq 600); do [ \"$(grep -c 'next run' out)\" = " +
               std::to_string(times) + " ] && break; sleep 0.1; done\n";
    };
    const program_result followed =
        shell(shell_command(INSPECT_PATH) + " --follow day --across-runs > out &\n" +
              until_next_run_said(1) +
              "mv b.json day/ai0_accel_20261208_030000.json && "
              "mv b.csv day/ai0_accel_20261208_030000.csv\n" +
              until_next_run_said(2) + "kill $! && wait $!; cat out");
    EXPECT_NE(followed.out.find("dominant 50.00 Hz", followed.out.find("030000.csv")),
              std::string::npos)
        << followed.out;
}

// Summary lines at 08:MM:SS UTC on 2026-12-08 for each velocity ("" for a
// second without one), their peaks 0.1 g apart.
std::string summary_text(int hour, int minute, const std::vector<std::string>& velocities) {
    std::string text =
        "# acc_summary 1\nstart_utc,start_s,rows,rms_g,peak_g,velocity_rms_mm_s,dominant_hz,"
        "kurtosis,gaps,overlaps\n";
    for (std::size_t i = 0; i < velocities.size(); ++i) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "2026-12-08T%02d:%02d:%02zu.000Z,%zu,10000,0.3,%.1f,%s,50,3,0,0\n", hour,
                      minute, i, i, 0.1 * static_cast<double>(i + 1), velocities[i].c_str());
        text += line;
    }
    return text;
}

TEST_F(InspectProgram, TheHistoryOutlivesTheRecordings) {
    // Three recordings' summaries; the first recording is gone, the others
    // are there in either archived form.
    put_gzipped("ai0_summary_20261208_081000.csv.gz",
                summary_text(8, 10, {"1", "5", "", "2", "4", "3"}));
    put_gzipped("ai0_summary_20261208_091500.csv.gz", summary_text(9, 15, {"6", "8", "7", "9"}));
    put_gzipped("ai0_summary_20261208_110000.csv.gz", summary_text(11, 0, {"0.5", "0.5"}));
    put("ai0_accel_20261208_091500.csv.acz", "its rows");
    put("ai0_accel_20261208_110000.csv.zst", "its rows");
    program_result run = inspect({"--history", ".", "--alarm", "6.5"});
    EXPECT_EQ(run.exit_status, 3) << run.err;
    EXPECT_EQ(run.out,
              "acc_inspect: history of .\n"
              "Summaries: 3, seconds from 2026-12-08T08:10:00Z to 2026-12-08T11:00:01Z (UTC)\n"
              "Intervals: per hour, alarm above 6.5 mm/s\n"
              "  2026-12-08T08:00:00Z  velocity RMS median 3.000 max 5.000 mm/s  peak 0.6000 g"
              "  above alarm 0 s  missing 3594 s\n"
              "  2026-12-08T09:00:00Z  velocity RMS median 7.500 max 9.000 mm/s  peak 0.4000 g"
              "  above alarm 3 s  missing 3596 s\n"
              "  2026-12-08T10:00:00Z  no summary  above alarm 0 s  missing 3600 s\n"
              "  2026-12-08T11:00:00Z  velocity RMS median 0.500 max 0.500 mm/s  peak 0.2000 g"
              "  above alarm 0 s  missing 3598 s\n"
              "Raw recordings (acc_inspect . --from ... --to ...):\n"
              "  2026-12-08T09:15:00Z to 2026-12-08T09:15:04Z  ai0_accel_20261208_091500\n"
              "  2026-12-08T11:00:00Z to 2026-12-08T11:00:02Z  ai0_accel_20261208_110000\n");

    // The picture: per hour the median in the band from the smallest to the
    // largest, broken at the hour without a summary, the hour with one second above the alarm
    // marked.
    const program_result picture = inspect({"--history", ".", "--alarm", "8.5", "--svg", "-"});
    EXPECT_EQ(picture.exit_status, 3) << picture.err;
    std::vector<svg_element> svg;
    ASSERT_TRUE(read_svg(picture.out, &svg));
    const auto bands = elements_of(svg, 0, "path"), medians = elements_of(svg, 0, "polyline");
    ASSERT_EQ(bands.size(), 2u);  // 08:00 to 10:00, 11:00 to 12:00
    ASSERT_EQ(medians.size(), 2u);
    // 0 to 10 mm/s from y 340 up to 90: 08:00's smallest 1, largest 5, median 3.
    const std::vector<double> band = numbers_in(attribute_of(*bands[0], "d"));
    EXPECT_EQ(std::count(band.begin(), band.end(), 315.0), 2) << attribute_of(*bands[0], "d");
    EXPECT_EQ(std::count(band.begin(), band.end(), 215.0), 2);
    EXPECT_EQ(numbers_in(attribute_of(*medians[0], "points"))[1], 265.0);
    int greys = 0, alarms = 0;
    for (const svg_element* r : elements_of(svg, 0, "rect")) {
        greys += attribute_of(*r, "fill") == "#bbbbbb";
        alarms += attribute_of(*r, "fill") == "#d62728" && attribute_of(*r, "fill-opacity").empty();
    }
    EXPECT_EQ(greys, 1);
    EXPECT_EQ(alarms, 1);
    EXPECT_EQ(elements_of(svg, -1, "title").at(0)->text, "acc_inspect: history of .");
    EXPECT_EQ(elements_of(svg, 0, "text", "alarm 8.5 mm/s").size(), 1u);
    EXPECT_EQ(inspect({"--history", ".", "--alarm", "8.5", "--svg", "h.svg"}).exit_status, 3);
    EXPECT_EQ(read_file(dir + "/h.svg"), picture.out);
    // A write that fails halfway leaves the earlier picture and no partial file.
    program_options limited{
        INSPECT_PATH, {"--history", ".", "--alarm", "8.5", "--svg", "h.svg"}, dir, {}};
    limited.file_size_limit = 1024;
    run = run_program(limited);
    EXPECT_EQ(run.exit_status, 1);  // after the report, above the alarm's 3
    EXPECT_EQ(run.out.rfind("acc_inspect: history of .\n", 0), 0u);
    EXPECT_EQ(run.err, "acc_inspect: h.svg: cannot write: File too large\n");
    EXPECT_EQ(read_file(dir + "/h.svg"), picture.out);
    EXPECT_EQ(list_dir(dir).size(), 6u);
    for (const std::string output : {"", " --json -", " --svg -"})  // however short
        expect_error(shell(shell_command(INSPECT_PATH) + " --history ." + output + " >/dev/full"),
                     1,
                     std::string(output == " --svg -" ? "cannot write the picture"
                                                      : "cannot write the report") +
                         ": No space left on device");
    expect_refused(inspect({"--history", ".", "--svg", "ai0_summary_20261208_110000.csv.gz"}), 2,
                   "--svg ai0_summary_20261208_110000.csv.gz is the summary "
                   "./ai0_summary_20261208_110000.csv.gz itself; it is never written");

    // Beyond 7 days, a day gathers the hours of every summary in it.
    std::string later = summary_text(0, 0, {"1"});
    put_gzipped("ai0_summary_20261216_000000.csv.gz", later.replace(later.find("-08T"), 4, "-16T"));
    run = inspect({"--history", ".", "--json", "-"});
    EXPECT_NE(run.out.find("\"interval_s\": 86400.0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("{\"start_utc\": \"2026-12-08T00:00:00Z\", \"seconds\": 12, "
                           "\"median_velocity_rms_mm_s\": 4, \"min_velocity_rms_mm_s\": 0.5, "
                           "\"max_velocity_rms_mm_s\": 9, \"max_peak_g\": 0.6, "),
              std::string::npos)
        << run.out;
    EXPECT_EQ(unlink((dir + "/ai0_summary_20261216_000000.csv.gz").c_str()), 0);

    // The window cuts the interval it shows; what it leaves out is not missing.
    run = inspect({"--history=.", "--from", "2026-12-08T09:00:00Z", "--to", "2026-12-08T09:30:00Z",
                   "--json", "-"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\n  \"history\": {\n    \"directory\": \".\",\n    \"summaries\": 1,\n"
              "    \"interval_s\": 3600.0,\n    \"intervals\": [\n"
              "      {\"start_utc\": \"2026-12-08T09:00:00Z\", \"seconds\": 4, "
              "\"median_velocity_rms_mm_s\": 7.5, \"min_velocity_rms_mm_s\": 6, "
              "\"max_velocity_rms_mm_s\": 9, \"max_peak_g\": 0.4, \"missing_s\": 1796.0}\n    ],\n"
              "    \"raw\": [\n      {\"recording\": \"ai0_accel_20261208_091500\", \"from_utc\": "
              "\"2026-12-08T09:15:00Z\", \"to_utc\": \"2026-12-08T09:15:04Z\"}\n    ]\n  }\n}\n");
    expect_refused(inspect({"--history", ".", "--from", "2026-12-09T00:00:00Z"}), 4,
                   "no second lies in the window (--from, --to): 3 summaries in .\n");

    // A recording without provenance has no instants: its seconds are counted, not shown.
    std::string unplaced = summary_text(0, 0, {"1", "2"});
    for (std::size_t at = 0; (at = unplaced.find("\n2026-12-08T00:00:0", at)) != std::string::npos;)
        unplaced.erase(++at, 24);
    put_gzipped("ai0_summary_20261208_130000.csv.gz", unplaced);
    run = inspect({"--history", ".", "--to", "2026-12-08T08:10:01Z", "--json", "h.json"});
    EXPECT_TRUE(has_line(run.out,
                         "Not shown: 2 seconds without a UTC instant (recordings without "
                         "provenance)"))
        << run.out;
    EXPECT_NE(read_file(dir + "/h.json").find("\"seconds_without_utc\": 2,"), std::string::npos);
    expect_refused(inspect({"--history", ".", "--from", "2026-12-09T00:00:00Z"}), 4,
                   "no second lies in the window (--from, --to): 4 summaries in .; 2 seconds "
                   "without a UTC instant\n");

    // A damaged summary, or one of a version not known, is named and refused.
    put_gzipped("ai0_summary_20261208_120000.csv.gz",
                summary_text(12, 0, {"1", "2"}) + "2026-12-08T12:00:09.000Z,9,10000\n");
    put_gzipped("ai0_summary_20261208_140000.csv.gz", "");  // read at the same time, named after
    expect_refused(inspect({"--history", "."}), 1,
                   "./ai0_summary_20261208_120000.csv.gz: line 5: not a summary line");
    put_gzipped("ai0_summary_20261208_120000.csv.gz", "# acc_summary 2\nwhatever\n");
    expect_refused(inspect({"--history", "."}), 1,
                   "./ai0_summary_20261208_120000.csv.gz: a summary of version 2, which this");
    // Cut short in the gzip trailer, after its last whole line.
    const std::string whole = read_file(dir + "/ai0_summary_20261208_110000.csv.gz");
    put("ai0_summary_20261208_120000.csv.gz", whole.substr(0, whole.size() - 4));
    expect_error(inspect({"--history", "."}), 1,
                 "./ai0_summary_20261208_120000.csv.gz: cannot read: Input/output error");
}
