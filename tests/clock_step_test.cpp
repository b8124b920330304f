// The wall clock stepped during a run (an administrator, a time daemon): the
// real recorder, with gettimeofday shifted by the preloaded failure shim,
// keeps recording every sample and stamps rows with the clock it was given.

#include "recorder_fixture.h"

namespace {

struct clock_step_case {
    const char* name;
    double step_s;
    bool synchronized;  // what the kernel says of its clock
};

}  // namespace

class ClockStepTest : public RecorderTest, public ::testing::WithParamInterface<clock_step_case> {};

TEST_P(ClockStepTest, RowsCarryTheSteppedTimeAndTheSummaryFollowsIt) {
    SKIP_WITHOUT_FAILURE_SHIM();
    const double step_s = GetParam().step_s;
    // Call 1 is the start of the run, call 2 the first block: from the
    // second block on, the clock is off by the step.
    program_result run = record_reads(
        5, recorder(
               {"LD_PRELOAD=" FAILURE_SHIM_PATH, "ACC_TEST_CLOCK_STEP=3:" + std::to_string(step_s),
                GetParam().synchronized ? "ACC_TEST_CLOCK_SYNCED=1" : "ACC_TEST_CLOCK_SYNCED=0"}));
    const file_check check = expect_clean_stop(run);
    const std::vector<std::int64_t>& blocks = check.block_times_us;
    ASSERT_GE(blocks.size(), 5u);
    const std::int64_t step_us = static_cast<std::int64_t>(step_s * 1e6);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::int64_t from_us = i == 0 ? 0 : step_us;  // the first block before the step
        EXPECT_GE(blocks[i], from_us) << "block " << i;
        EXPECT_LT(blocks[i], from_us + 10000000) << "block " << i;
    }

    const run_summary summary = parse_summary(run.out);
    EXPECT_GE(summary.total_time_s, step_s);
    EXPECT_LT(summary.total_time_s, step_s + 30.0);
    const double rate_hz =
        step_s < 0.0 ? 0.0 : static_cast<double>(check.rows) / summary.total_time_s;
    EXPECT_NEAR(summary.rate_hz, rate_hz, 0.051);
    const std::string& file = summary.output_file;
    const std::string json = read_file(dir + "/" + file.substr(0, file.size() - 4) + ".json");
    EXPECT_EQ(json_value(json, "synchronized"), GetParam().synchronized ? "true" : "false");
    EXPECT_EQ(json_value(json, "est_error_us"), "12");
}

INSTANTIATE_TEST_SUITE_P(Steps, ClockStepTest,
                         ::testing::Values(clock_step_case{"BackPastTheStart", -1000.0, false},
                                           clock_step_case{"ForwardADay", 86400.0, true}),
                         [](const ::testing::TestParamInfo<clock_step_case>& step) {
                             return std::string(step.param.name);
                         });
