// The real recorder against the simulated device, its file read back by the
// inspector: the simulator's known signal must come out of the statistics
// and the spectrum. (A stall of the recorder: its gap in the rows is the
// hostile device test's, the inspector's reading of that gap the
// SegmentsSkipTheBlockAfterAGap test's.)
#include <cmath>
#include <string>

#include "data_format.h"
#include "read_run.h"
#include "recorder_fixture.h"

namespace {

// What the simulator feeds: 0.5 V + 0.25 V sin(2 pi 50 Hz t) + a little
// noise, that is 1 g + 0.5 g at 50 Hz.
constexpr double level_g = 1.0;
constexpr double vibration_g = 0.5;

class InspectRecording : public RecorderTest {
protected:
    inspect_result* result = nullptr;

    void TearDown() override {
        if (result) {
            inspect_result_free(result);
            delete result;
        }
        RecorderTest::TearDown();
    }
};

}  // namespace

TEST_F(InspectRecording, ARecordingIsValidAndShowsTheSimulatedSignal) {
    expect_clean_stop(record_reads(21, recorder()));  // about two seconds; no key ever
    const std::string path = dir + "/" + only_recording();
    result = new inspect_result;
    ASSERT_TRUE(inspect_file(path.c_str(), default_inspect_config(), result));
    const inspect_stats& s = result->stats;
    EXPECT_GE(s.rows, 15000u);
    EXPECT_EQ(s.rows % 1000, 0u) << "whole blocks";
    EXPECT_EQ(s.mismatched_rows, 0u);
    EXPECT_EQ(s.nonfinite_rows, 0u);
    EXPECT_NEAR(stats_duration(s), s.rows * 1e-4, 0.05 + s.missing_s);
    // Whole blocks hold whole 50 Hz cycles, so the sine adds nothing to the
    // mean. (The levels of a sine are the statistics tests'.)
    EXPECT_NEAR(moments_mean(s.accel_g), level_g, 0.001);
    ASSERT_GE(result->peak_count, 1u);
    // One bin is 1.22 Hz; the peak refinement puts a lone tone within a
    // hundredth of a hertz and its amplitude within 0.5 %, unless segments
    // span samples that are not contiguous.
    EXPECT_NEAR(result->peaks[0].frequency_hz, 50.0, 0.01);
    EXPECT_NEAR(result->peaks[0].amplitude, vibration_g, vibration_g * 0.005);

    program_result run = run_program({INSPECT_PATH, {path}, {}, {}});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("Verdict  valid data file"), std::string::npos) << run.out;
}
