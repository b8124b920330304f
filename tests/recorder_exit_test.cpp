// Every way a run can end before recording, on the real program: its message,
// its exit status and exactly which device calls it made.
#include <regex>

#include "recorder_fixture.h"

namespace {

using names = std::vector<std::string>;

const char* const path_pattern = "recordings/ai0_accel_\\d{8}_\\d{6}\\.csv";
const char* const header = "Time(s),Volt(V),Accel(g),Accel(m/s^2)\n";

names full_teardown() {
    return {"DEV_Create",  "AI_InitTask",    "AI_StartTask",
            "AI_StopTask", "AI_ReleaseTask", "DEV_Release"};
}

struct early_exit {
    const char* name;
    const char* env;  // "" for none
    bool preload;     // the failure shim
    bool no_output_directory;
    int exit_status;
    std::string out;  // a regular expression
    const char* err;
    names calls;
    bool header_written;  // else no file at all
};

void PrintTo(const early_exit& e, std::ostream* os) { *os << e.name; }

// The three runs without memory fail on the block of 1000 voltages, the text
// of its rows, then the syncing thread and its wait.
std::vector<early_exit> early_exits() {
    const std::string opening = "Opening device\\.\\.\\.\n";
    const names init_refused = {"DEV_Create", "AI_InitTask", "DEV_Release"};
    const names start_refused = {"DEV_Create", "AI_InitTask", "AI_StartTask", "AI_ReleaseTask",
                                 "DEV_Release"};
    return {
        {"LocalTimeUnavailableStopsBeforeAnyDeviceCall", "ACC_TEST_FAIL_LOCALTIME=1", true, false,
         255, "", "localtime: Value too large for defined data type\n", names(), false},
        {"DeviceAbsent", "ACTS2200_SIM_FAIL=create", false, false, 255,
         opening + "Open device failed\n", "", names(1, "DEV_Create"), false},
        {"TaskRejectedReleasesTheDeviceOnly", "ACTS2200_SIM_FAIL=init", false, false, 254,
         opening + "AI_InitTask failed\n", "", init_refused, false},
        {"TaskStartRefusedReleasesTaskThenDevice", "ACTS2200_SIM_FAIL=start", false, false, 253,
         opening + "AI_StartTask failed\n", "", start_refused, false},
        {"OutputDirectoryMissingIsNeverCreated", "", false, true, 252,
         opening + "Cannot open " + path_pattern + "\n", "", full_teardown(), false},
        {"NoMemoryForTheBlock", "ACC_TEST_FAIL_ALLOC_SIZE=8000", true, false, 251,
         opening + "No memory\n", "", full_teardown(), true},
        {"NoMemoryForTheRows", "ACC_TEST_FAIL_ALLOC_SIZE=65536", true, false, 251,
         opening + "No memory\n", "", full_teardown(), true},
        {"NoMemoryForTheThread", "ACC_TEST_FAIL_THREAD=1", true, false, 251,
         opening + "No memory\n", "", full_teardown(), true},
        {"NoMemoryForTheSyncingThreadsWait", "ACC_TEST_FAIL_COND=1", true, false, 251,
         opening + "No memory\n", "", full_teardown(), true},
    };
}

}  // namespace

class EarlyExitTest : public RecorderTest, public ::testing::WithParamInterface<early_exit> {};

TEST_P(EarlyExitTest, ReportsAndReleasesInOrder) {
    const early_exit& e = GetParam();
    if (e.preload) SKIP_WITHOUT_FAILURE_SHIM();
    std::vector<std::string> env;
    if (*e.env != '\0') env.push_back(e.env);
    if (e.preload) env.push_back("LD_PRELOAD=" FAILURE_SHIM_PATH);
    if (e.no_output_directory) remove_tree(recordings);
    program_result run = run_program(recorder(env));
    EXPECT_EQ(run.exit_status, e.exit_status);
    EXPECT_TRUE(std::regex_match(run.out, std::regex(e.out))) << run.out;
    EXPECT_EQ(run.err, e.err);
    EXPECT_EQ(calls(), e.calls);
    if (e.header_written)
        EXPECT_EQ(read_file(dir + "/" + only_recording()), header);
    else
        EXPECT_TRUE(list_dir(recordings).empty());
}

INSTANTIATE_TEST_SUITE_P(Runs, EarlyExitTest, ::testing::ValuesIn(early_exits()),
                         [](const ::testing::TestParamInfo<early_exit>& param_info) {
                             return std::string(param_info.param.name);
                         });

TEST_F(RecorderTest, KeyBeforeTheFirstReadRecordsNothingAndTearsDownInOrder) {
    program_result run = run_program(recorder_reading("q"));
    EXPECT_EQ(run.exit_status, 0);
    std::string file = only_recording();
    std::string expected =
        "Opening device...\nStart continuous acquisition...\nOutput file: " + file +
        "\nSampling rate = 10000.0 Hz, chunk = 1000 points\n"
        "Press any key to stop.\n"
        "\nStopping...\n"
        "Total points: 0\n"
        "Total time: 0.0xx seconds\n"
        "Approx. effective rate: 0.0 Hz\n"
        "Done. Data saved to " +
        file + "\n";
    // The time one key poll takes depends on the machine (emulated: 1 ms).
    EXPECT_EQ(std::regex_replace(run.out, std::regex("Total time: 0\\.0\\d\\d seconds"),
                                 "Total time: 0.0xx seconds"),
              expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(calls(), full_teardown());
    EXPECT_EQ(read_file(dir + "/" + file), header);
}
