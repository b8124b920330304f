// acc_inspect's figures against an independent reference: NumPy and SciPy
// (tests/inspect_reference.py) on generated files of known content. The
// script prints the table of compared figures and fails beyond tolerance.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "data_file.h"
#include "program_runner.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double sensitivity = 0.5;

struct tone {
    double hz;
    double amplitude_g;
};

struct reference_case {
    const char* name;
    double seconds;
    std::vector<tone> tones;
    double noise_g;   // Gaussian, standard deviation
    double gap_at_s;  // 0: none
    double gap_s;
    int nonfinite_every;                // 0: none; else every n-th row has nan or inf
    std::vector<std::string> options;   // for acc_inspect and the script alike
    std::vector<std::string> expected;  // what the script checks besides
};

void PrintTo(const reference_case& c, std::ostream* os) { *os << c.name; }

std::string generate(const reference_case& c) {
    std::string content = data_file_header;
    char row[max_row_size];
    std::mt19937 random(12345);
    std::normal_distribution<double> noise(0.0, c.noise_g > 0 ? c.noise_g : 1.0);
    const long rows = std::lround(c.seconds * 10000.0);
    for (long n = 0; n < rows; ++n) {
        const double s = n * 1e-4;
        const double t = 0.1 + s + (c.gap_s > 0 && s >= c.gap_at_s ? c.gap_s : 0.0);
        double g = 1.0;
        for (const tone& k : c.tones) g += k.amplitude_g * std::sin(2 * pi * k.hz * s);
        if (c.noise_g > 0) g += noise(random);
        double volt = g * sensitivity;
        if (c.nonfinite_every > 0 && n % c.nonfinite_every == 7)
            volt = (n / c.nonfinite_every) % 3 == 0 ? INFINITY : NAN;
        content.append(row, format_row(row, t, volt, sensitivity));
    }
    return content;
}

// A sine of 10 m/s^2 at 100 Hz: velocity RMS 10 / (2 pi 100 sqrt 2) m/s.
constexpr double sine_ms2 = 10.0;

reference_case make(const char* name, double seconds, std::vector<tone> tones, double noise_g,
                    const char* options, const char* expected, double gap_at_s = 0,
                    double gap_s = 0, int nonfinite_every = 0) {
    return {name,  seconds,         std::move(tones),  noise_g,           gap_at_s,
            gap_s, nonfinite_every, words_of(options), words_of(expected)};
}

std::vector<reference_case> cases() {
    return {
        make("tones", 6.0, {{50.0, 0.5}, {160.0, 0.2}}, 0.01, "", "--dominant-hz 50"),
        // Band edges on bins 2 and 400: both are in the band.
        make("noise", 5.0, {}, 0.1, "--segment 4096 --band 4.8828125:976.5625 --interval 0.5", ""),
        make("gap", 4.0, {{80.0, 0.3}}, 0.005, "", "--dominant-hz 80", 1.5, 1.5),
        make("nonfinite", 4.0, {{120.0, 0.4}}, 0.005, "--segment 2048", "--dominant-hz 120", 0, 0,
             997),
        make("sine", 6.0, {{100.0, sine_ms2 / standard_gravity}}, 0, "",
             "--sine-ms2 10 --sine-hz 100 --dominant-hz 100"),
        make("window", 6.0, {{50.0, 0.5}, {300.0, 0.1}}, 0.02,
             "--from 1.25 --to 4.5 --interval 0.25 --band 2:1000", "--dominant-hz 50"),
    };
}

// The interpreter with NumPy and SciPy: Debian's own first, it is the one
// python3-numpy and python3-scipy install into.
std::string find_python() {
    for (const char* candidate : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
        if (access(candidate, X_OK) != 0) continue;
        const char* modules = "import numpy, scipy.signal, scipy.stats";
        if (run_program({candidate, {"-c", modules}, {}, {}}).exit_status == 0) return candidate;
    }
    return "";
}

class InspectReference : public ::testing::TestWithParam<reference_case> {};

TEST_P(InspectReference, FiguresAgreeWithNumPyAndSciPy) {
    static const std::string python = find_python();
    if (python.empty())
        GTEST_SKIP() << "no python3 with NumPy and SciPy (Debian: python3-numpy python3-scipy)";
    const reference_case& c = GetParam();
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    const std::string csv = dir + "/" + c.name + ".csv";
    const std::string json = dir + "/" + c.name + ".json";
    write_file(csv, generate(c));

    program_options inspect{INSPECT_PATH, {csv, "--json", json}, {}, {}};
    inspect.args.insert(inspect.args.end(), c.options.begin(), c.options.end());
    program_result ran = run_program(inspect);
    ASSERT_EQ(ran.exit_status, 0) << ran.err;

    program_options reference{python, {REFERENCE_SCRIPT, csv, json, c.name}, {}, {}};
    reference.args.insert(reference.args.end(), c.options.begin(), c.options.end());
    reference.args.insert(reference.args.end(), c.expected.begin(), c.expected.end());
    program_result compared = run_program(reference);
    std::printf("%s", compared.out.c_str());
    EXPECT_EQ(compared.exit_status, 0) << compared.out << compared.err;
    if (!HasFailure()) remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, InspectReference, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<reference_case>& param_info) {
                             return std::string(param_info.param.name);
                         });

}  // namespace
