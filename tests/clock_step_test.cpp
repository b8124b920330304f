// The wall clock stepped during a run (an administrator, a time daemon): the
// real recorder, with gettimeofday shifted by the preloaded failure shim,
// keeps recording every sample and stamps rows with the clock it was given.
#include <csignal>
#include <cstdlib>

#include "block_check.h"

namespace {

struct clock_step_case {
    const char* name;
    double step_s;
};

double summary_seconds(const std::string& out) {
    std::vector<std::string> line = lines_starting_with(out, "Total time: ");
    return line.size() == 1 ? std::strtod(line[0].c_str() + 12, nullptr) : 0.0;
}

}  // namespace

class ClockStepTest : public RecorderTest, public ::testing::WithParamInterface<clock_step_case> {};

TEST_P(ClockStepTest, RowsCarryTheSteppedTimeAndTheSummaryFollowsIt) {
#ifdef ACC_NO_PRELOAD
    GTEST_SKIP() << "the failure shim cannot be preloaded into this build";
#endif
    const double step_s = GetParam().step_s;
    // Call 1 is the start of the run, call 2 the first block: from the
    // second block on, the clock is off by the step.
    child_process child =
        start_program(recorder({std::string("LD_PRELOAD=") + FAILURE_SHIM_PATH,
                                "ACC_TEST_CLOCK_STEP=3:" + std::to_string(step_s)}));
    ASSERT_GT(child.pid, 0);
    signal_after_reads(child, SIGTERM, 5);
    program_result run = finish_program(child);
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_NE(run.out.find("Done. Data saved to"), std::string::npos);

    std::vector<read_call> calls_made = reads();
    std::vector<std::int64_t> blocks =
        check_blocks(read_file(dir + "/" + only_recording()), calls_made, {});
    EXPECT_EQ(summary_count(run.out), delivered_rows(calls_made));
    ASSERT_GE(blocks.size(), 5u);
    const std::int64_t step_us = static_cast<std::int64_t>(step_s * 1e6);
    EXPECT_GE(blocks[0], 0);
    EXPECT_LT(blocks[0], 10000000);
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        EXPECT_GE(blocks[i], step_us) << "block " << i;
        EXPECT_LT(blocks[i], step_us + 10000000) << "block " << i;
    }

    const double total_s = summary_seconds(run.out);
    EXPECT_GE(total_s, step_s);
    EXPECT_LT(total_s, step_s + 30.0);
    std::vector<std::string> rate = lines_starting_with(run.out, "Approx. effective rate: ");
    ASSERT_EQ(rate.size(), 1u);
    if (step_s < 0.0) {
        EXPECT_EQ(rate[0], "Approx. effective rate: 0.0 Hz");
    } else {
        const double rows = static_cast<double>(delivered_rows(calls_made));
        EXPECT_NEAR(std::strtod(rate[0].c_str() + 24, nullptr), rows / total_s, 0.051);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, ClockStepTest,
                         ::testing::Values(clock_step_case{"BackPastTheStart", -1000.0},
                                           clock_step_case{"ForwardADay", 86400.0}),
                         [](const ::testing::TestParamInfo<clock_step_case>& step) {
                             return std::string(step.param.name);
                         });
