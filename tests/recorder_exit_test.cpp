// Every way a run can end before recording, on the real program: its message,
// its exit status and exactly which device calls it made.
#include <regex>

#include "recorder_fixture.h"

namespace {

using names = std::vector<std::string>;

const char* const path_pattern = "recordings/ai0_accel_\\d{8}_\\d{6}\\.csv";

}  // namespace

TEST_F(RecorderTest, LocalTimeUnavailableStopsBeforeAnyDeviceCall) {
#ifdef ACC_NO_PRELOAD
    GTEST_SKIP() << "the failure shim cannot be preloaded into this build";
#endif
    program_result run = run_program(
        recorder({std::string("LD_PRELOAD=") + FAILURE_SHIM_PATH, "ACC_TEST_FAIL_LOCALTIME=1"}));
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "localtime: Value too large for defined data type\n");
    EXPECT_TRUE(calls().empty());
}

TEST_F(RecorderTest, DeviceAbsent) {
    program_result run = run_program(recorder({"ACTS2200_SIM_FAIL=create"}));
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "Opening device...\nOpen device failed\n");
    EXPECT_EQ(calls(), names({"DEV_Create"}));
    EXPECT_TRUE(list_dir(recordings).empty());
}

TEST_F(RecorderTest, TaskRejectedReleasesTheDeviceOnly) {
    program_result run = run_program(recorder({"ACTS2200_SIM_FAIL=init"}));
    EXPECT_EQ(run.exit_status, 254);
    EXPECT_EQ(run.out, "Opening device...\nAI_InitTask failed\n");
    EXPECT_EQ(calls(), names({"DEV_Create", "AI_InitTask", "DEV_Release"}));
}

TEST_F(RecorderTest, TaskStartRefusedReleasesTaskThenDevice) {
    program_result run = run_program(recorder({"ACTS2200_SIM_FAIL=start"}));
    EXPECT_EQ(run.exit_status, 253);
    EXPECT_EQ(run.out, "Opening device...\nAI_StartTask failed\n");
    EXPECT_EQ(calls(), names({"DEV_Create", "AI_InitTask", "AI_StartTask", "AI_ReleaseTask",
                              "DEV_Release"}));
}

TEST_F(RecorderTest, OutputDirectoryMissingIsNeverCreated) {
    remove_tree(recordings);
    program_result run = run_program(recorder());
    EXPECT_EQ(run.exit_status, 252);
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex(std::string("Opening device...\nCannot open ") + path_pattern + "\n")))
        << run.out;
    EXPECT_EQ(calls(), names({"DEV_Create", "AI_InitTask", "AI_StartTask", "AI_StopTask",
                              "AI_ReleaseTask", "DEV_Release"}));
    EXPECT_TRUE(list_dir(dir + "/recordings").empty());
}

class NoMemoryTest : public RecorderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoMemoryTest, LeavesTheHeaderAloneAndReleasesInOrder) {
#ifdef ACC_NO_PRELOAD
    GTEST_SKIP() << "the failure shim cannot be preloaded into this build";
#endif
    program_result run =
        run_program(recorder({std::string("LD_PRELOAD=") + FAILURE_SHIM_PATH, GetParam()}));
    EXPECT_EQ(run.exit_status, 251);
    EXPECT_EQ(run.out, "Opening device...\nNo memory\n");
    EXPECT_EQ(calls(), names({"DEV_Create", "AI_InitTask", "AI_StartTask", "AI_StopTask",
                              "AI_ReleaseTask", "DEV_Release"}));
    EXPECT_EQ(read_file(dir + "/" + only_recording()), "Time(s),Volt(V),Accel(g),Accel(m/s^2)\n");
}

// The block of 1000 voltages, the text of its rows, then the syncing thread.
INSTANTIATE_TEST_SUITE_P(Buffers, NoMemoryTest,
                         ::testing::Values("ACC_TEST_FAIL_ALLOC_SIZE=8000",
                                           "ACC_TEST_FAIL_ALLOC_SIZE=65536",
                                           "ACC_TEST_FAIL_THREAD=1"));

TEST_F(RecorderTest, KeyBeforeTheFirstReadRecordsNothingAndTearsDownInOrder) {
    write_file(dir + "/key", "q");
    program_options options = recorder();
    options.stdin_path = dir + "/key";
    program_result run = run_program(options);
    EXPECT_EQ(run.exit_status, 0);
    std::string file = only_recording();
    EXPECT_TRUE(std::regex_match(file, std::regex(path_pattern))) << file;
    std::string expected =
        "Opening device...\n"
        "Start continuous acquisition...\n"
        "Output file: " +
        file +
        "\n"
        "Sampling rate = 10000.0 Hz, chunk = 1000 points\n"
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
    EXPECT_EQ(calls(), names({"DEV_Create", "AI_InitTask", "AI_StartTask", "AI_StopTask",
                              "AI_ReleaseTask", "DEV_Release"}));
    EXPECT_EQ(read_file(dir + "/" + file), "Time(s),Volt(V),Accel(g),Accel(m/s^2)\n");
}

TEST_F(RecorderTest, ParameterBlockCarriesTheDocumentedFields) {
    write_file(dir + "/key", "q");
    program_options options = recorder();
    options.stdin_path = dir + "/key";
    ASSERT_EQ(run_program(options).exit_status, 0);

    unsigned char expected[944] = {};
    auto put32 = [&](std::size_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            expected[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    put32(0, 1);
    put32(784, 3);
    put32(788, 4096);
    const unsigned char rate_10000[8] = {0, 0, 0, 0, 0, 0x88, 0xc3, 0x40};  // 10000.0
    std::copy(rate_10000, rate_10000 + 8, expected + 792);
    std::string hex;
    for (unsigned char byte : expected) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    std::vector<std::string> init = lines_starting_with(log(), "AI_InitTask ");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_NE(init[0].find("param=" + hex + " "), std::string::npos) << init[0];
}
