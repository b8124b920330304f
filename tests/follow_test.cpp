// acc_inspect --follow on a recording being made by the real recorder with
// a file span of 2 s: its lines come while the recorder runs, equal the
// trend of the finished files, cross the switches and end by themselves; a
// file that stops growing while held is called stalled; the .prom file is
// read by the real node exporter; across runs the follower waits for the next.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "data_text.h"
#include "recorder_fixture.h"

namespace {

bool still_running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

class FollowTest : public RecorderTest {
protected:
    std::vector<pid_t> started;

    // A test that stops early leaves nothing running.
    void TearDown() override {
        for (pid_t pid : started)
            if (still_running(pid)) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        RecorderTest::TearDown();
    }

    child_process start(const program_options& options) {
        child_process child = start_program(options);
        started.push_back(child.pid);
        return child;
    }

    child_process start_span_recorder() {
        child_process child = start(recorder({}, SPAN_RECORDER_PATH));
        EXPECT_GT(child.pid, 0);
        for (int i = 0; i < 2500 && list_data_files(recordings).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return child;
    }

    // A data file made at `path` with `rows` rows 0.1 ms apart from 0.1 s,
    // their voltage 0.5 V give or take `swing`, and held as the recorder
    // holds the file it writes; the descriptor, whose lock the follower does
    // not inherit, or -1.
    static int held_file(const std::string& path, int rows, double swing) {
        const std::string content = rows_text(
            rows, [swing](int n) { return 0.5 + swing * (n % 7 - 3) / 3.0; }, 0.1);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 && (flock(fd, LOCK_EX) != 0 || write(fd, content.data(), content.size()) !=
                                                       static_cast<ssize_t>(content.size()))) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // A follower of `path` by intervals of 0.1 s, once `text` shows in its output.
    child_process follow_until(const std::string& path, const std::string& text, std::string* out) {
        child_process follower = start_follower({"--follow", path, "--interval", "0.1"});
        EXPECT_TRUE(read_until(
            follower.out_fd, out,
            [&](const std::string& t) { return t.find(text) != std::string::npos; }, 10.0))
            << *out;
        return follower;
    }

    child_process start_follower(std::vector<std::string> args) {
        return start({INSPECT_PATH, std::move(args), dir, {}});
    }
};

}  // namespace

TEST_F(FollowTest, LinesComeWhileRecordingAcrossSwitchesEqualTheTrendAndEndByThemselves) {
    // Started on the empty directory, it waits for the recording.
    child_process follower = start_follower({"--follow", "--json", "-", "recordings"});
    std::string early_err;
    ASSERT_TRUE(read_until(
        follower.err_fd, &early_err,
        [](const std::string& t) { return t.find("waiting") != std::string::npos; }, 20.0))
        << early_err;
    child_process rec = start_span_recorder();
    std::string early;
    const auto lines = [](const std::string& t) { return std::count(t.begin(), t.end(), '\n'); };
    ASSERT_TRUE(read_until(
        follower.out_fd, &early, [&](const std::string& t) { return lines(t) >= 3; }, 20.0))
        << early;
    EXPECT_TRUE(still_running(rec.pid)) << "the lines come while the recorder runs";
    signal_after_reads(rec, SIGTERM, 50);
    EXPECT_EQ(finish_program(rec).exit_status, 0);
    program_result followed = finish_program(follower);  // never signalled: it ends by itself
    EXPECT_EQ(followed.exit_status, 0) << followed.err;
    const std::vector<std::string> got = split_lines(early + followed.out);

    // Each file of the run announced as the follower went into it.
    const std::vector<std::string> files = list_data_files(recordings);
    ASSERT_GE(files.size(), 3u);
    EXPECT_EQ(early_err, "acc_inspect: recordings: waiting for a recording\n");
    EXPECT_EQ(lines_starting_with(followed.err, "acc_inspect: following recordings/").size(),
              files.size())
        << followed.err;
    std::set<std::string> files_in_lines;
    for (const std::string& line : got) files_in_lines.insert(json_value(line, "file"));
    EXPECT_GE(files_in_lines.size(), 2u);

    // The trend of the finished files, interval by interval, to the last bit.
    const std::string trend =
        run_program({INSPECT_PATH, {"recordings", "--json", "-"}, dir, {}}).out;
    std::size_t at = trend.find("\"intervals\": [");
    ASSERT_NE(at, std::string::npos);
    std::vector<std::string> entries;
    while ((at = trend.find('{', at)) != std::string::npos) {
        const std::size_t end = trend.find('}', at);
        entries.push_back(trend.substr(at, end - at + 1));
        at = end;
    }
    ASSERT_EQ(got.size(), entries.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(got[i]);
        for (const char* key : {"start_s", "first_row_s", "last_row_s", "rows", "rms_g", "peak_g",
                                "dominant_hz", "velocity_rms_mm_s"})
            EXPECT_EQ(json_value(got[i], key), json_value(entries[i], key)) << key;
    }
    // The gaps and overlaps so far (a loaded machine can make some): by the
    // last line, those of the whole run.
    for (const char* key : {"gaps", "overlaps"})
        EXPECT_EQ(json_value(got.back(), key), json_value(trend, key)) << key;
}

// A file that stops growing while its writer holds the lock is called
// stalled; a bad row written after it is reported as the inspector reports
// it.
TEST_F(FollowTest, AFileThatStopsGrowingWhileHeldIsStalledAndABadRowAfterItAFault) {
    const std::string path = recordings + "/ai0_accel_20261209_101500.csv";
    const int fd = held_file(path, 2000, 0.25);
    ASSERT_GE(fd, 0);
    std::string out;
    child_process follower = follow_until(path, "stalled", &out);
    EXPECT_NE(out.find(": stalled, no row for 3 s while the recorder holds it\n"),
              std::string::npos)
        << out;
    // Without provenance the time is the row time; no spectrum segment fits in 0.1 s.
    const std::vector<std::string> shown = split_lines(out);
    ASSERT_GE(shown.size(), 2u);
    EXPECT_TRUE(
        std::regex_match(shown[1], std::regex(R"(0\.100 s  rms 0\.\d{6} g  peak 0\.\d{6} g  )"
                                              R"(velocity -  dominant -  gaps 0  overlaps 0)")))
        << shown[1];
    // Provenance that comes late still dates the lines after it.
    write_file(path.substr(0, path.size() - 4) + ".json",
               provenance_of(run_a, 1, "", "2026-12-09T10:14:59.900000Z"));
    const std::string rows = rows_text(1000, 0.5, 0.3).substr(data_file_header_size);
    ASSERT_EQ(write(fd, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
    EXPECT_TRUE(read_until(
        follower.out_fd, &out,
        [](const std::string& t) { return t.find("Z  rms") != std::string::npos; }, 10.0))
        << out;
    const std::string bad = "0.400000,0.5000,1.000000,9.806650\n";
    ASSERT_EQ(write(fd, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
    program_result followed = finish_program(follower);
    close(fd);
    const program_result later = run_program({INSPECT_PATH, {path}, {}, {}});
    EXPECT_EQ(followed.exit_status, 1);
    EXPECT_EQ(later.exit_status, 1);
    EXPECT_EQ(followed.err, later.err);
}

// A writer gone, leaving a row cut short and NUL bytes after the last whole
// row, as a power cut can: the recording was interrupted, not ended.
TEST_F(FollowTest, AWriterGoneAfterARowCutShortAndNulBytesLeavesAnInterruptedRecording) {
    const std::string path = recordings + "/ai0_accel_20261209_111500.csv";
    const int fd = held_file(path, 3000, 0.0);
    ASSERT_GE(fd, 0);
    std::string out;
    child_process follower = follow_until(path, " rms ", &out);
    const std::string tail = "0.400000,0.50" + std::string(1000, '\0');
    ASSERT_EQ(write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    close(fd);
    const program_result followed = finish_program(follower);
    EXPECT_EQ(followed.exit_status, 0) << followed.err;
    EXPECT_EQ(lines_starting_with(out + followed.out,
                                  "acc_inspect: the recording was interrupted, 1013 bytes after "
                                  "its last whole row left out: 3000 rows in 1 file, ")
                  .size(),
              1u)
        << out << followed.out;
}

// The real node exporter serves the gauges of the .prom file, and they change.
TEST_F(FollowTest, TheNodeExporterServesTheGaugesAndTheyChange) {
    const char* exporter = "/usr/bin/prometheus-node-exporter";
    if (access(exporter, X_OK) != 0)
        GTEST_SKIP() << exporter << " is missing (Debian: prometheus-node-exporter)";
    const std::string textfiles = dir + "/textfiles";
    ASSERT_EQ(mkdir(textfiles.c_str(), 0755), 0);
    // A port free a moment ago.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &size), 0);
    close(s);
    const std::string port = std::to_string(ntohs(address.sin_port));
    program_options options;
    options.path = exporter;
    options.args = {"--web.listen-address=127.0.0.1:" + port, "--collector.disable-defaults",
                    "--collector.textfile", "--collector.textfile.directory=" + textfiles};
    child_process node = start(options);
    ASSERT_GT(node.pid, 0);
    child_process rec = start_span_recorder();
    child_process follower =
        start_follower({"--follow", "recordings", "--prom", textfiles + "/acc.prom"});

    program_options fetch;
    fetch.path = "/usr/bin/python3";
    fetch.args = {"-c",
                  "import urllib.request; print(urllib.request.urlopen("
                  "'http://127.0.0.1:" +
                      port + "/metrics', timeout=2).read().decode())"};
    std::vector<std::string> starts;  // acc_interval_start_seconds, as served
    for (int i = 0; i < 100 && starts.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::string metrics = run_program(fetch).out;
        const std::vector<std::string> gauge =
            lines_starting_with(metrics, "acc_interval_start_seconds{");
        if (gauge.empty() || (!starts.empty() && starts.back() == gauge[0])) continue;
        starts.push_back(gauge[0]);
        for (const char* name : {"# TYPE acc_rms_g gauge", "acc_rms_g{", "acc_peak_g{",
                                 "acc_velocity_rms_mm_s{", "acc_dominant_hz{", "acc_gaps{"})
            EXPECT_NE(metrics.find(name), std::string::npos) << name << " in\n" << metrics;
        EXPECT_NE(gauge[0].find("file=\"ai0_accel_"), std::string::npos) << gauge[0];
    }
    EXPECT_EQ(starts.size(), 2u) << "the gauges change";
    kill(rec.pid, SIGTERM);
    finish_program(rec);
    kill(follower.pid, SIGTERM);
    const program_result followed = finish_program(follower);
    EXPECT_EQ(followed.exit_status, 0);
    std::size_t intervals = 0;
    for (const std::string& line : split_lines(followed.out)) {
        if (line.rfind("acc_inspect: ", 0) == 0) continue;
        ++intervals;
        EXPECT_TRUE(std::regex_match(
            line, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z  rms 0\.35\d{4} g  )"
                             R"(peak 0\.50\d{4} g  velocity 11\.0\d\d mm/s  dominant 50\.00 Hz  )"
                             R"(gaps 0  overlaps 0)")))
            << line;
    }
    EXPECT_GE(intervals, 2u);
    EXPECT_EQ(lines_starting_with(followed.out, "acc_inspect: stopped: ").size(), 1u)
        << followed.out;
    kill(node.pid, SIGTERM);
    finish_program(node);
}

// With --across-runs the follower outlives the recorder's run: it waits for
// the next run and follows it, its gauges kept in between and saying so.
TEST_F(FollowTest, AcrossRunsTheFollowerWaitsForTheNextRunAndItsGaugesGoOn) {
    const std::string prom = dir + "/acc.prom";
    child_process follower =
        start_follower({"--follow", "recordings", "--across-runs", "--prom", prom});
    std::string out;
    const auto shows = [&](const std::string& text, int times) {
        return read_until(
            follower.out_fd, &out,
            [&](const std::string& t) {
                int n = 0;
                for (std::size_t at = 0; (at = t.find(text, at)) != std::string::npos; ++at) ++n;
                return n >= times;
            },
            30.0);
    };
    // The gauge `name` as the .prom file has it now, once `done` says so.
    const auto gauge_once = [&](const char* name,
                                const std::function<bool(const std::string&)>& done) {
        std::string line;
        for (int i = 0; i < 600 && !done(line); ++i) {
            const std::vector<std::string> found = lines_starting_with(read_file(prom), name);
            line = found.empty() ? "" : found[0];
            if (!done(line)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return line;
    };
    const auto run_of = [](const std::string& line) {
        const std::size_t at = line.find("run=\"");
        return at == std::string::npos ? std::string()
                                       : line.substr(at + 5, line.find('"', at + 5) - at - 5);
    };
    ASSERT_TRUE(shows("waiting for a recording", 1)) << out;

    std::string id;  // of the run followed last
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        child_process rec = start_span_recorder();
        // Followed: the gauges are this run's.
        const std::string following = gauge_once("acc_following{", [&](const std::string& l) {
            return l.size() > 2 && l.compare(l.size() - 2, 2, " 1") == 0 && !run_of(l).empty() &&
                   run_of(l) != id;
        });
        ASSERT_NE(run_of(following), id) << read_file(prom);
        id = run_of(following);
        const std::string start =
            gauge_once("acc_interval_start_seconds{",
                       [&](const std::string& l) { return !l.empty() && run_of(l) == id; });
        // The gauges change while the run is followed.
        EXPECT_NE(gauge_once("acc_interval_start_seconds{",
                             [&](const std::string& l) { return !l.empty() && l != start; }),
                  start);
        kill(rec.pid, SIGTERM);
        EXPECT_EQ(finish_program(rec).exit_status, 0);
        ASSERT_TRUE(shows("acc_inspect: recordings: waiting for the next run\n", run)) << out;
        // Between runs: the last gauges, of the run that ended, no longer followed.
        const std::vector<std::string> between =
            lines_starting_with(read_file(prom), "acc_following{");
        ASSERT_EQ(between.size(), 1u);
        EXPECT_EQ(run_of(between[0]), id);
        EXPECT_EQ(between[0].substr(between[0].size() - 2), " 0");
    }
    EXPECT_EQ(lines_starting_with(out, "acc_inspect: the recorder let go of the run: ").size(), 2u)
        << out;
    kill(follower.pid, SIGTERM);
    const program_result followed = finish_program(follower);
    EXPECT_EQ(followed.exit_status, 0) << followed.err;
    EXPECT_EQ(followed.out, "acc_inspect: stopped: no next run came\n");
}
