// The simulated device, driven through the same seven calls the recorder
// makes. Switches are environment variables read at DEV_Create, so each test
// sets them before opening the device.
#include "acts2200.h"
#include "program_runner.h"
#include "sim_signal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr double fast_rate = 100000.0;  // blocks of 100 take 1 ms
constexpr double pi = 3.14159265358979323846;

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void clear_switches() {
    std::vector<std::string> names;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ACTS2200_SIM_", 13) == 0)
            names.emplace_back(*e, std::strcspn(*e, "="));
    }
    for (const std::string& name : names) unsetenv(name.c_str());
}

ai_param valid_param(double rate) {
    ai_param p{};
    p.word_0 = 1;
    p.word_784 = 3;
    p.word_788 = 4096;
    p.sample_rate_hz = rate;
    return p;
}

std::string hex_of(const void* data, std::size_t size) {
    std::string out;
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<const unsigned char*>(data)[i]);
        out += pair;
    }
    return out;
}

std::string handle_text(dev_handle h) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%jx",
                  static_cast<std::uintmax_t>(static_cast<std::uintptr_t>(h)));
    return text;
}

struct block {
    std::int32_t result = -1;
    std::uint32_t delivered = 0;
    std::vector<double> volts;
};

// A read into a buffer with room to spare, so that writes past `requested` show.
block read_block(dev_handle h, std::uint32_t requested, double timeout_s = 2.0) {
    block b;
    b.delivered = 12345;
    b.volts.assign(requested + 16, -99.0);
    b.result = ACTS2200_AI_ReadAnalog(h, b.volts.data(), requested, &b.delivered, 0, timeout_s);
    return b;
}

struct sim_test : testing::Test {
    std::string log_path;
    dev_handle device = no_device;  // the device's fixed handle

    void SetUp() override {
        clear_switches();
        device = ACTS2200_DEV_Create(0);
        ASSERT_NE(device, no_device) << "an earlier test left the device open";
        ASSERT_EQ(ACTS2200_DEV_Release(device), 1);
        log_path = testing::TempDir() + "sim_test_" + std::to_string(getpid()) + ".log";
        std::remove(log_path.c_str());
        setenv("ACTS2200_SIM_LOG", log_path.c_str(), 1);
    }

    // Leaves the device closed whatever the test did.
    void TearDown() override {
        std::remove(log_path.c_str());
        clear_switches();
        ACTS2200_AI_StopTask(device);
        ACTS2200_AI_ReleaseTask(device);
        ACTS2200_DEV_Release(device);
    }

    std::vector<std::string> log_lines() const { return split_lines(read_file(log_path)); }

    // The absolute index a successful read reported.
    std::uint64_t last_first() const {
        const std::vector<std::string> lines = log_lines();
        const std::size_t at = lines.empty() ? std::string::npos : lines.back().find(" first=");
        return at == std::string::npos ? UINT64_MAX
                                       : std::strtoull(lines.back().c_str() + at + 7, nullptr, 10);
    }

    dev_handle open_running(double rate) {
        const dev_handle h = ACTS2200_DEV_Create(0);
        ai_param p = valid_param(rate);
        EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 1);
        p.sample_rate_hz = 1.0;  // the device keeps its own copy of the block
        EXPECT_EQ(ACTS2200_AI_StartTask(h), 1);
        return h;
    }

    struct expected_read {
        std::int32_t result;
        std::uint32_t delivered;  // 12345: left alone
        std::uint32_t written;    // the signal from `first` on, nothing after
        std::uint64_t first;
    };

    // With the switches ("NAME=value ..."), successive reads of `requested`
    // deliver as expected; the switches are cleared again.
    void expect_reads(const std::string& switches, double rate, double timeout_s,
                      std::uint32_t requested, std::initializer_list<expected_read> reads) {
        SCOPED_TRACE(switches);
        std::istringstream in(switches);
        for (std::string s; in >> s;)
            setenv(s.substr(0, s.find('=')).c_str(), s.substr(s.find('=') + 1).c_str(), 1);
        const dev_handle h = open_running(rate);
        for (const expected_read& e : reads) {
            const block b = read_block(h, requested, timeout_s);
            EXPECT_EQ(b.result, e.result);
            EXPECT_EQ(b.delivered, e.delivered);
            if (e.result == 1) {
                EXPECT_EQ(last_first(), e.first);
            }
            for (std::uint32_t i = 0; i < b.volts.size(); ++i) {
                ASSERT_EQ(b.volts[i], i < e.written ? sim_sample_volts(e.first + i, rate) : -99.0)
                    << i;
            }
        }
        close_device(h);
        clear_switches();
        setenv("ACTS2200_SIM_LOG", log_path.c_str(), 1);
    }

    void close_device(dev_handle h) {
        EXPECT_EQ(ACTS2200_AI_StopTask(h), 1);
        EXPECT_EQ(ACTS2200_AI_ReleaseTask(h), 1);
        EXPECT_EQ(ACTS2200_DEV_Release(h), 1);
    }
};

TEST_F(sim_test, opens_only_device_zero_and_only_once) {
    EXPECT_EQ(ACTS2200_DEV_Create(1), no_device);
    EXPECT_EQ(ACTS2200_DEV_Create(-1), no_device);
    const dev_handle h = ACTS2200_DEV_Create(0);
    EXPECT_NE(h, no_device);
    EXPECT_NE(h, 0);
    EXPECT_EQ(ACTS2200_DEV_Create(0), no_device);
    EXPECT_EQ(ACTS2200_DEV_Release(h), 1);
    EXPECT_EQ(ACTS2200_DEV_Create(0), h);
    EXPECT_EQ(ACTS2200_DEV_Release(h), 1);
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "DEV_Create index=1 -> -1 error=no such device");
    EXPECT_EQ(lines[3], "DEV_Create index=0 -> -1 error=device busy");
}

// Every call in a wrong state fails, changes nothing, and says why in the log.
TEST_F(sim_test, refuses_calls_out_of_order) {
    ai_param p = valid_param(fast_rate);
    double volts[8];
    std::uint32_t got = 0;
    struct step {
        std::int32_t result;
        const char* error;  // null for success
    };
    std::vector<step> steps;
    steps.push_back({ACTS2200_AI_InitTask(device, &p), "device not open"});
    const dev_handle h = ACTS2200_DEV_Create(0);
    ASSERT_EQ(h, device);
    steps.push_back({ACTS2200_AI_StartTask(h), "no task"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, 1.0), "task not started"});
    steps.push_back({ACTS2200_AI_StopTask(h), "task not started"});
    steps.push_back({ACTS2200_AI_ReleaseTask(h), "no task"});
    steps.push_back({ACTS2200_AI_InitTask(h + 1, &p), "bad handle"});
    steps.push_back(
        {ACTS2200_AI_InitTask(static_cast<dev_handle>(static_cast<std::uint32_t>(h)), &p),
         "bad handle"});
    steps.push_back({ACTS2200_AI_InitTask(h, &p), nullptr});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, 1.0), "task not started"});
    steps.push_back({ACTS2200_DEV_Release(h), "task not released"});
    steps.push_back({ACTS2200_AI_StartTask(h), nullptr});
    steps.push_back({ACTS2200_AI_StartTask(h), "task running"});
    steps.push_back({ACTS2200_AI_InitTask(h, &p), "task running"});
    steps.push_back({ACTS2200_AI_ReleaseTask(h), "task running"});
    steps.push_back({ACTS2200_AI_ReadAnalog(no_device, volts, 8, &got, 0, 1.0), "bad handle"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, nullptr, 8, &got, 0, 1.0), "null dest"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, nullptr, 0, 1.0), "null delivered"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 0, &got, 0, 1.0), "bad requested"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 1, 1.0), "bad reserved"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, std::nan("")), "bad timeout"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, -1.0), "bad timeout"});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, 1.0), nullptr});
    steps.push_back({ACTS2200_AI_StopTask(h), nullptr});
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, 1.0), "task not started"});
    steps.push_back({ACTS2200_AI_StopTask(h), "task not started"});
    steps.push_back({ACTS2200_AI_StartTask(h), nullptr});  // a restart begins a new clock
    steps.push_back({ACTS2200_AI_ReadAnalog(h, volts, 8, &got, 0, 1.0), nullptr});
    steps.push_back({ACTS2200_AI_StopTask(h), nullptr});
    steps.push_back({ACTS2200_AI_ReleaseTask(h), nullptr});
    steps.push_back({ACTS2200_AI_ReleaseTask(h), "no task"});
    steps.push_back({ACTS2200_DEV_Release(h), nullptr});
    steps.push_back({ACTS2200_DEV_Release(h), "device not open"});
    steps.push_back({ACTS2200_AI_StopTask(h), "device not open"});

    std::vector<std::string> lines = log_lines();
    lines.erase(lines.begin() + 1);  // DEV_Create
    ASSERT_EQ(lines.size(), steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const bool ok = steps[i].error == nullptr;
        EXPECT_EQ(steps[i].result, ok ? 1 : 0);
        EXPECT_EQ(lines[i].find(" -> 1") != std::string::npos, ok);
        if (!ok) {
            EXPECT_NE(lines[i].find(std::string(" -> 0 error=") + steps[i].error),
                      std::string::npos);
        }
    }
    const std::string restarted = lines[26];
    EXPECT_EQ(restarted.substr(restarted.size() - 8), " first=0")
        << "a restart starts from sample 0";
}

TEST_F(sim_test, rejects_each_bad_field_of_the_parameter_block) {
    const dev_handle h = ACTS2200_DEV_Create(0);
    const ai_param good = valid_param(10000.0);
    struct word_case {
        const char* field;
        std::size_t offset;
        std::int32_t value;
    };
    const word_case words[] = {
        {"word_0", 0, 0},        {"word_0", 0, 2},     {"ai_option", 16, 1},
        {"word_20", 20, 1},      {"word_24", 24, -1},  {"word_784", 784, 0},
        {"word_788", 788, 4095}, {"word_800", 800, 1}, {"word_808", 808, 1},
    };
    for (const word_case& c : words) {
        ai_param p = good;
        std::memcpy(reinterpret_cast<char*>(&p) + c.offset, &c.value, sizeof c.value);
        EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 0) << c.field;
        EXPECT_NE(log_lines().back().find(std::string("error=bad ") + c.field), std::string::npos);
    }
    for (double rate : {0.0, -0.0, -1.0, 1000000.5, 2e6, HUGE_VAL, -HUGE_VAL, std::nan("")}) {
        ai_param p = valid_param(rate);
        EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 0) << rate;
        EXPECT_NE(log_lines().back().find("error=bad sample_rate_hz"), std::string::npos);
    }
    // Every byte outside the named fields must be zero.
    const std::size_t named[][2] = {{0, 4}, {16, 28}, {784, 804}, {808, 812}};
    for (std::size_t at = 0; at < sizeof(ai_param); ++at) {
        bool is_named = false;
        for (const auto& span : named) is_named = is_named || (at >= span[0] && at < span[1]);
        if (is_named) continue;
        ai_param p = good;
        reinterpret_cast<unsigned char*>(&p)[at] = 0x80;
        EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 0) << "byte " << at;
    }
    EXPECT_EQ(ACTS2200_AI_InitTask(h, nullptr), 0);
    EXPECT_EQ(log_lines().back(),
              "AI_InitTask handle=" + handle_text(h) + " param=null -> 0 error=null param");
    EXPECT_EQ(ACTS2200_AI_StartTask(h), 0) << "a refused block configures nothing";

    for (double rate : {1000000.0, 0.5}) {
        ai_param p = valid_param(rate);
        EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 1) << rate;
    }
    EXPECT_EQ(ACTS2200_AI_ReleaseTask(h), 1);
    EXPECT_EQ(ACTS2200_DEV_Release(h), 1);
}

TEST(sim_signal, is_gravity_plus_50_hz_vibration_plus_small_noise) {
    const double rate = 10000.0;  // 200 samples per vibration period
    EXPECT_NEAR(sim_sample_volts(100, 2 * rate), 0.75, sim_noise_volts);
    double sum = 0.0, lowest = 1.0, highest = -1.0;
    const int count = 20000;
    for (int n = 0; n < count; ++n) {
        const double v = sim_sample_volts(static_cast<std::uint64_t>(n), rate);
        ASSERT_EQ(v, sim_sample_volts(static_cast<std::uint64_t>(n), rate));
        // 0.5 V for 1 g, and 0.5 g at 50 Hz: what the inspector's test expects.
        const double noise = v - 0.5 - 0.25 * std::sin(2.0 * pi * 50.0 * n / rate);
        ASSERT_LE(std::fabs(noise), sim_noise_volts + 1e-12) << n;
        sum += noise;
        lowest = std::fmin(lowest, noise);
        highest = std::fmax(highest, noise);
    }
    EXPECT_NEAR(sum / count, 0.0, 1e-4);
    EXPECT_GT(highest - lowest, 1.9 * sim_noise_volts) << "noise spans its whole range";
}

// Failed reads leave the count alone or set the injected one, and consume
// nothing; short reads deliver fewer and continue after them; an over-report
// claims more than it writes; unpaced reads never wait.
TEST_F(sim_test, reads_deliver_the_signal_as_the_switches_say) {
    expect_reads("", fast_rate, 2.0, 100,
                 {{1, 100, 100, 0}, {1, 100, 100, 100}, {1, 100, 100, 200}, {1, 100, 100, 300}});
    expect_reads("ACTS2200_SIM_FAIL_READS=2,4-5,7-", fast_rate, 2.0, 100,
                 {{1, 100, 100, 0},
                  {0, 12345, 0, 0},
                  {1, 100, 100, 100},
                  {0, 12345, 0, 0},
                  {0, 12345, 0, 0},
                  {1, 100, 100, 200},
                  {0, 12345, 0, 0},
                  {0, 12345, 0, 0}});
    expect_reads("ACTS2200_SIM_FAIL_READS=all ACTS2200_SIM_FAILED_READ_COUNT=7", fast_rate, 2.0,
                 100, {{0, 7, 0, 0}, {0, 7, 0, 0}, {0, 7, 0, 0}});
    std::size_t injected = 0;
    for (const std::string& line : log_lines())
        injected += line.find("-> 0 delivered=7 error=injected failure") != std::string::npos;
    EXPECT_EQ(injected, 3u);
    expect_reads("ACTS2200_SIM_SHORT_READS=2:10,3:0,4:5000", fast_rate, 2.0, 100,
                 {{1, 100, 100, 0},
                  {1, 10, 10, 100},
                  {1, 0, 0, 110},
                  {1, 100, 100, 110},
                  {1, 100, 100, 210}});
    expect_reads("ACTS2200_SIM_OVER_REPORT=5", fast_rate, 2.0, 100, {{1, 105, 100, 0}});
    expect_reads("ACTS2200_SIM_UNPACED=1", 1000.0, 0.0, 1000,
                 {{1, 1000, 1000, 0}, {1, 1000, 1000, 1000}, {1, 1000, 1000, 2000}});
}

TEST_F(sim_test, values_replace_the_signal_bit_for_bit) {
    const char* texts[] = {"nan",   "-nan",     "inf",     "-inf", "-0.0",
                           "1e300", "4.9e-324", "0x1.8p1", "-2.5"};
    std::string list;
    for (const char* t : texts) list += std::string(list.empty() ? "" : ",") + t;
    setenv("ACTS2200_SIM_VALUES", list.c_str(), 1);
    setenv("ACTS2200_SIM_UNPACED", "1", 1);
    const dev_handle h = open_running(fast_rate);
    setenv("ACTS2200_SIM_FAIL_READS", "all", 1);  // too late: switches are read at DEV_Create
    read_block(h, 4);                             // the cycle follows the absolute index
    const block b = read_block(h, 20);
    ASSERT_EQ(b.result, 1);
    for (std::size_t i = 0; i < 20; ++i) {
        const double expected = std::strtod(texts[(4 + i) % 9], nullptr);
        // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c): the bits, NaN and -0.0 included
        EXPECT_EQ(std::memcmp(&b.volts[i], &expected, sizeof expected), 0)
            << i << " " << b.volts[i];
    }
    EXPECT_TRUE(std::signbit(b.volts[0]) && b.volts[0] == 0.0) << "-0.0 keeps its sign";
    close_device(h);
}

TEST_F(sim_test, fail_switch_fails_the_named_calls) {
    setenv("ACTS2200_SIM_FAIL", "create", 1);
    EXPECT_EQ(ACTS2200_DEV_Create(0), no_device);
    EXPECT_EQ(log_lines().back(), "DEV_Create index=0 -> -1 error=injected failure");
    setenv("ACTS2200_SIM_FAIL", "init,start", 1);
    const dev_handle h = ACTS2200_DEV_Create(0);
    ASSERT_NE(h, no_device);
    ai_param p = valid_param(fast_rate);
    EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 0);
    EXPECT_EQ(ACTS2200_DEV_Release(h), 1);
    setenv("ACTS2200_SIM_FAIL", "start", 1);
    ASSERT_EQ(ACTS2200_DEV_Create(0), h);
    EXPECT_EQ(ACTS2200_AI_InitTask(h, &p), 1);
    EXPECT_EQ(ACTS2200_AI_StartTask(h), 0);
    EXPECT_EQ(log_lines().back(),
              "AI_StartTask handle=" + handle_text(h) + " -> 0 error=injected failure");
    EXPECT_EQ(ACTS2200_AI_ReleaseTask(h), 1);
    EXPECT_EQ(ACTS2200_DEV_Release(h), 1);
}

TEST_F(sim_test, malformed_switches_are_named_and_ignored) {
    std::istringstream cases(
        "ACTS2200_SIM_FAIL=create,bogus ACTS2200_SIM_FAIL=init, ACTS2200_SIM_FAIL_READS=0 "
        "ACTS2200_SIM_FAIL_READS=3-2 ACTS2200_SIM_FAIL_READS=1,,2 ACTS2200_SIM_FAIL_READS=-2 "
        "ACTS2200_SIM_FAIL_READS=1x ACTS2200_SIM_FAILED_READ_COUNT=-1 ACTS2200_SIM_SHORT_READS=1 "
        "ACTS2200_SIM_SHORT_READS=0:5 ACTS2200_SIM_SHORT_READS=1:4294967296 "
        "ACTS2200_SIM_OVER_REPORT=1.5 ACTS2200_SIM_VALUES=1,,2 ACTS2200_SIM_VALUES=0.5V "
        "ACTS2200_SIM_UNPACED=yes ACTS2200_SIM_FAIL_READ=1");
    for (std::string c; cases >> c;) {
        SCOPED_TRACE(c);
        const std::string name = c.substr(0, c.find('='));
        setenv(name.c_str(), c.substr(name.size() + 1).c_str(), 1);
        const dev_handle h = open_running(fast_rate);
        ASSERT_NE(h, no_device);
        const std::vector<std::string> lines = log_lines();
        EXPECT_NE(lines[lines.size() - 3].find("error=bad switch " + name), std::string::npos);
        const block b = read_block(h, 10);
        EXPECT_EQ(b.result, 1);
        EXPECT_EQ(b.delivered, 10u);
        EXPECT_EQ(b.volts[9], sim_sample_volts(9, fast_rate));
        close_device(h);
        unsetenv(name.c_str());
    }
}

TEST_F(sim_test, log_has_one_exact_line_per_call_and_appends) {
    write_file(log_path, "earlier\n");
    const dev_handle h = ACTS2200_DEV_Create(0);
    ai_param p = valid_param(fast_rate);
    p.sample_rate_hz = 12345.5;
    ASSERT_EQ(ACTS2200_AI_InitTask(h, &p), 1);
    ASSERT_EQ(ACTS2200_AI_StartTask(h), 1);
    std::uint32_t got = 0;
    double volts[25];
    ASSERT_EQ(ACTS2200_AI_ReadAnalog(h, volts, 25, &got, 0, 2.0), 1);
    close_device(h);
    const std::string ht = handle_text(h);
    const std::vector<std::string> expected = {
        "earlier",
        "DEV_Create index=0 -> " + ht,
        "AI_InitTask handle=" + ht + " param=" + hex_of(&p, sizeof p) + " -> 1",
        "AI_StartTask handle=" + ht + " -> 1",
        "AI_ReadAnalog handle=" + ht +
            " requested=25 reserved=0 timeout=2.000000 -> 1 delivered=25 first=0",
        "AI_StopTask handle=" + ht + " -> 1",
        "AI_ReleaseTask handle=" + ht + " -> 1",
        "DEV_Release handle=" + ht + " -> 1",
    };
    EXPECT_EQ(log_lines(), expected);
}

TEST_F(sim_test, reader_that_falls_behind_loses_the_buffer) {
    const dev_handle h = open_running(fast_rate);
    ASSERT_EQ(read_block(h, 100).result, 1);
    const timespec pause{1, 100000000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr) == EINTR) {
    }
    const block lost_block = read_block(h, 100);
    EXPECT_EQ(lost_block.result, 0);
    EXPECT_EQ(lost_block.delivered, 12345u);
    const std::string line = log_lines().back();
    const std::size_t at = line.find(" -> 0 error=overrun lost=");
    ASSERT_NE(at, std::string::npos) << line;
    const std::uint64_t lost = std::strtoull(line.c_str() + at + 25, nullptr, 10);
    EXPECT_GT(lost, static_cast<std::uint64_t>(fast_rate)) << "more than the one-second buffer";

    const block b = read_block(h, 100);
    ASSERT_EQ(b.result, 1);
    EXPECT_EQ(last_first(), 100 + lost) << "delivery resumes after the lost span";
    EXPECT_EQ(b.volts[0], sim_sample_volts(100 + lost, fast_rate));
    close_device(h);
}

void ignore_signal(int) {}

// Sample k is due at start + (k + 1) / rate; a read may never beat that, not
// even with signals arriving while it waits.
TEST_F(sim_test, paced_read_never_returns_before_its_samples_are_due) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: sleeps see EINTR
    sigaction(SIGALRM, &action, &previous);
    const itimerval every_2ms{{0, 2000}, {0, 2000}};
    setitimer(ITIMER_REAL, &every_2ms, nullptr);

    const double rate = 1000.0;
    const double before_start = now_s();
    const dev_handle h = open_running(rate);
    for (std::uint64_t n = 0; n < 3; ++n) {
        const block b = read_block(h, 50);
        const double returned = now_s();
        ASSERT_EQ(b.result, 1);
        EXPECT_EQ(last_first(), n * 50);
        EXPECT_GE(returned, before_start + static_cast<double>((n + 1) * 50) / rate);
    }
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    close_device(h);
}

TEST_F(sim_test, read_that_cannot_finish_waits_out_its_timeout_and_consumes_nothing) {
    const dev_handle h = open_running(1000.0);
    const double before = now_s();
    const block b = read_block(h, 1000, 0.05);  // due after 1 s
    EXPECT_GE(now_s(), before + 0.05);
    EXPECT_EQ(b.result, 0);
    EXPECT_NE(log_lines().back().find("-> 0 error=timeout"), std::string::npos);
    EXPECT_EQ(read_block(h, 10).result, 1);
    EXPECT_EQ(last_first(), 0u);
    close_device(h);
}

}  // namespace
