// The stop path the example systemd unit relies on: the recorder started as
// the unit starts it (standard input at end of file, output not a terminal)
// and stopped with the unit's own KillSignal must end as a key would end it.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

#include "recorder_fixture.h"

namespace {

// The settings of the unit's [Service] section.
std::map<std::string, std::string> service_settings() {
    std::map<std::string, std::string> settings;
    bool in_service = false;
    for (const std::string& line : split_lines(read_file(UNIT_PATH))) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            in_service = line == "[Service]";
            continue;
        }
        std::size_t equals = line.find('=');
        if (in_service && equals != std::string::npos)
            settings[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return settings;
}

int signal_named(const std::string& name) {
    for (int sig = 1; sig < NSIG; ++sig) {
        const char* abbrev = sigabbrev_np(sig);
        if (abbrev && name == std::string("SIG") + abbrev) return sig;
    }
    return 0;
}

}  // namespace

TEST(ServiceUnit, LeavesTheGracefulStopTimeToFinishARead) {
    std::map<std::string, std::string> settings = service_settings();
    ASSERT_FALSE(settings.empty()) << UNIT_PATH;
    // A stop waits for the read under way (time-out 2 s), then syncs the
    // file; a SIGKILL before that leaves the device open.
    EXPECT_GT(std::strtod(settings["TimeoutStopSec"].c_str(), nullptr), 2.0);
    EXPECT_TRUE(settings["KillMode"] == "mixed" || settings["KillMode"] == "process")
        << "the recorder alone gets the stop signal, once";
    EXPECT_EQ(settings["StandardInput"], "null") << "no terminal to poll for a key";
}

// Standard input at end of file: as an empty file gives it here, as the unit
// gives it (/dev/null) in the stop signal tests, SIGTERM among them.
TEST_F(RecorderTest, TheUnitsKillSignalEndsTheRecordingCleanly) {
    int sig = signal_named(service_settings()["KillSignal"]);
    ASSERT_NE(sig, 0) << "KillSignal names no signal";
    expect_clean_stop(record_reads(3, recorder_reading(""), sig));
}
