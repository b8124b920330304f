// The real recorder against the simulated device, its file read back by the
// real inspector: a valid data file of whole blocks, every row converted as
// the inspector converts. (What the simulator feeds is the simulator test's,
// each row's value the recording check's, the statistics and spectrum of a
// known signal the inspector tests'. A stall of the recorder: its gap in the
// rows is the hostile device test's, the inspector's reading of that gap the
// SegmentsSkipTheBlockAfterAGap test's.)
#include <string>

#include "recorder_fixture.h"

TEST_F(RecorderTest, ARecordingIsValidForTheInspectorEveryRowConsistent) {
    expect_clean_stop(record_reads(21, recorder()));  // about two seconds; no key ever
    const program_result run =
        run_program({INSPECT_PATH, {dir + "/" + only_recording(), "--json", "-"}, {}, {}});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(json_value(run.out, "valid"), "true");
    const unsigned long rows = std::stoul(json_value(run.out, "rows"));
    EXPECT_GE(rows, 15000u);
    EXPECT_EQ(rows % 1000, 0u) << "whole blocks";
    for (const char* none : {"rows_nonfinite", "mismatching_rows"})
        EXPECT_EQ(json_value(run.out, none), "0") << none;
}
