// The real recorder against the simulated device, its file read back by the
// inspector: the simulator's known signal must come out of the statistics
// and the spectrum, and a stall of the recorder must show as a gap.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "data_format.h"
#include "read_run.h"
#include "recorder_fixture.h"

namespace {

// What the simulator feeds: 0.5 V + 0.25 V sin(2 pi 50 Hz t) + noise within
// +-0.002 V, that is 1 g + 0.5 g at 50 Hz + noise within +-0.004 g.
constexpr double level_g = 1.0;
constexpr double vibration_g = 0.5;
constexpr double noise_g = 0.004;

class InspectRecording : public RecorderTest {
protected:
    inspect_result* result = nullptr;
    double stalled_s = 0.0;

    void TearDown() override {
        if (result) {
            inspect_result_free(result);
            delete result;
        }
        RecorderTest::TearDown();
    }

    // Records until the device has served `reads` reads, then stops the
    // recorder with SIGTERM, and checks its file. With `stall_after`, the
    // recorder is stopped by SIGSTOP for at least `stall_s` once the device
    // has served that many reads; `stalled_s` is how long it was, however
    // late a loaded machine sent the SIGCONT.
    std::string record(std::size_t reads, std::size_t stall_after = 0, double stall_s = 0.0) {
        child_process child = start_program(recorder());  // stdin is /dev/null: no key ever
        EXPECT_GT(child.pid, 0);
        if (child.pid <= 0) return "";  // never kill(-1, ...)
        if (stall_after > 0) {
            EXPECT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", stall_after, 30.0));
            const auto stopped = std::chrono::steady_clock::now();
            kill(child.pid, SIGSTOP);
            std::this_thread::sleep_for(std::chrono::duration<double>(stall_s));
            kill(child.pid, SIGCONT);
            stalled_s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
        }
        EXPECT_TRUE(wait_for_lines(log_path, "AI_ReadAnalog ", reads, 30.0));
        kill(child.pid, SIGTERM);
        expect_clean_stop(finish_program(child));
        return dir + "/" + only_recording();
    }

    bool inspect(const std::string& path) {
        if (!result)
            result = new inspect_result;
        else
            inspect_result_free(result);
        return inspect_file(path.c_str(), default_inspect_config(), result);
    }

    program_result inspect_program(const std::string& path) const {
        return run_program({INSPECT_PATH, {path}, {}, {}});
    }

    void expect_the_simulated_vibration() const {
        ASSERT_GE(result->peak_count, 1u);
        // One bin is 1.22 Hz; the peak refinement puts a lone tone within a
        // hundredth of a hertz and its amplitude within 0.5 %, unless
        // segments span samples that are not contiguous.
        EXPECT_NEAR(result->peaks[0].frequency_hz, 50.0, 0.01);
        EXPECT_NEAR(result->peaks[0].amplitude, vibration_g, vibration_g * 0.005);
    }
};

}  // namespace

TEST_F(InspectRecording, ARecordingIsValidAndShowsTheSimulatedSignal) {
    std::string path = record(21);  // about two seconds
    ASSERT_TRUE(inspect(path));
    const inspect_stats& s = result->stats;
    EXPECT_GE(s.rows, 15000u);
    EXPECT_EQ(s.rows % 1000, 0u) << "whole blocks";
    EXPECT_EQ(s.mismatched_rows, 0u);
    EXPECT_EQ(s.nonfinite_rows, 0u);
    EXPECT_NEAR(stats_duration(s), s.rows * 1e-4, 0.05 + s.missing_s);

    // Whole blocks hold whole 50 Hz cycles, so the sine adds nothing to the
    // mean; uniform noise of half-width a adds a^2 / 3 to the mean square.
    const double noise_var = noise_g * noise_g / 3;
    EXPECT_NEAR(moments_mean(s.accel_g), level_g, 0.001);
    EXPECT_NEAR(moments_rms(s.accel_g),
                std::sqrt(level_g * level_g + vibration_g * vibration_g / 2 + noise_var), 0.001);
    EXPECT_NEAR(moments_ac_rms(s.accel_g), std::sqrt(vibration_g * vibration_g / 2 + noise_var),
                0.001);
    const double p2p = s.accel_g.max - s.accel_g.min;
    EXPECT_GE(p2p, 2 * vibration_g - 0.002);
    EXPECT_LE(p2p, 2 * vibration_g + 2 * noise_g + 2e-6);
    EXPECT_NEAR(moments_mean(s.accel_ms2), level_g * standard_gravity, 0.01);
    expect_the_simulated_vibration();

    program_result run = inspect_program(path);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("Verdict  valid data file"), std::string::npos) << run.out;
}

TEST_F(InspectRecording, AStalledRecorderLeavesAGapThatIsReported) {
    // Stopped for 1.5 s, the recorder leaves the simulated device's buffer
    // to overrun: those samples are lost, and the rows jump in time.
    std::string path = record(25, 5, 1.5);
    ASSERT_TRUE(inspect(path));
    const inspect_stats& s = result->stats;
    EXPECT_GE(s.gaps, 1u);
    EXPECT_GT(s.largest_gap_s, 0.5);
    EXPECT_LT(s.largest_gap_s, stalled_s + 1.0);
    EXPECT_EQ(s.mismatched_rows, 0u);
    expect_the_simulated_vibration();

    program_result run = inspect_program(path);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("    gap      after "), std::string::npos) << run.out;
}
