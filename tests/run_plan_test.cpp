// The choice of a run's files among the files and directories given, on
// directories made up in the test: provenance files and empty data files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>

#include "data_text.h"
#include "program_runner.h"
#include "run_choice.h"
#include "run_files.h"

namespace {

// Two run ids of 32 hex digits.
#define RUN_A "ab000000000000000000000000000000"
#define RUN_B "ac000000000000000000000000000000"

// "files F...; runs FIRST:COUNT... with the chosen one starred", or the
// fault with its subject and other, paths below `dir`.
std::string planned(const std::string& dir, const std::vector<std::string>& arguments,
                    const char* selector) {
    std::vector<std::string> paths;
    paths.reserve(arguments.size());
    for (const std::string& a : arguments) paths.push_back(std::string(dir).append("/").append(a));
    run_plan plan;
    plan_run(paths, selector, &plan);
    auto rel = [&dir](const std::string& path) { return path.substr(dir.size() + 1); };
    static const char* const faults[] = {"none",         "cannot_list",   "no_recording",
                                         "two_runs",     "segment_twice", "run_not_found",
                                         "run_ambiguous"};
    if (plan.fault != run_fault::none) {
        std::string text = faults[static_cast<int>(plan.fault)];
        text += " " + (plan.fault >= run_fault::run_not_found ? plan.subject : rel(plan.subject));
        if (!plan.other.empty()) text += " " + rel(plan.other);
        return text;
    }
    std::string text = "files";
    for (const run_file& f : plan.files) text += " " + rel(f.path);
    if (!plan.runs.empty()) text += "; runs";
    for (std::size_t i = 0; i < plan.runs.size(); ++i)
        text += " " + rel(plan.runs[i].first_file) + ":" + std::to_string(plan.runs[i].files) +
                (i == plan.chosen_run ? "*" : "");
    return text;
}

// A directory of the test's own, removed however the test ends, holding
// `day`: run a of two files, and run b, which started an hour before run a
// although its name is later; `loose`: a file of run a's first segment;
// `plain`: two files without provenance; `empty`.
class RunPlan : public ::testing::Test {
protected:
    const std::string dir = make_temp_dir();

    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        for (const char* sub : {"/day", "/plain", "/empty", "/loose"})
            mkdir((dir + sub).c_str(), 0755);
        const struct {
            const char* stem;
            const char* run_id;
            int segment;
            const char* start_utc;
            const char* suffix;
        } files[] = {
            {"day/ai0_accel_20261208_020000", RUN_A, 1, "2026-12-08T01:59:59Z", ".csv"},
            {"day/ai0_accel_20261208_020001", RUN_A, 2, "2026-12-08T01:59:59Z", ".csv.zst"},
            {"day/ai0_accel_20261208_030000", RUN_B, 1, "2026-12-08T00:59:59Z", ".csv"},
            {"loose/ai0_accel_20261208_020000", RUN_A, 1, "2026-12-08T01:59:59Z", ".csv"}};
        for (const auto& f : files) {
            write_file(dir + "/" + f.stem + f.suffix, "");
            write_file(dir + "/" + f.stem + ".json",
                       provenance_of(f.run_id, f.segment, "", f.start_utc));
        }
        write_file(dir + "/plain/ai0_accel_20261208_040000.csv", "");
        write_file(dir + "/plain/ai0_accel_20261208_050000.csv", "");
        write_file(dir + "/plain/notes.txt", "");
    }
    void TearDown() override { remove_tree(dir); }
};

TEST_F(RunPlan, ChoosesTheRunsFilesInSegmentOrderAndRefusesWhatCannotBeOneRecording) {
    const std::string a1 = "day/ai0_accel_20261208_020000.csv";
    const std::string a2 = "day/ai0_accel_20261208_020001.csv.zst";
    const std::string b1 = "day/ai0_accel_20261208_030000.csv";
    const std::string p4 = "plain/ai0_accel_20261208_040000.csv";
    const std::string p5 = "plain/ai0_accel_20261208_050000.csv";
    const struct {
        std::vector<std::string> arguments;
        const char* selector;
        std::string planned;
    } rows[] = {
        // Named files, out of order, with a provenance file a shell pattern named.
        {{a2, a1, "day/ai0_accel_20261208_020000.json"}, nullptr, "files " + a1 + " " + a2},
        {{p5, p4}, nullptr, "files " + p5 + " " + p4},
        {{a1, "loose/ai0_accel_20261208_020000.csv"},
         nullptr,
         "segment_twice " + a1 + " loose/ai0_accel_20261208_020000.csv"},
        // A directory: its runs oldest first by the clock, the latest chosen.
        {{"day"}, nullptr, "files " + a1 + " " + a2 + "; runs " + b1 + ":1 " + a1 + ":2*"},
        {{"day/"}, "ac", "files " + b1 + "; runs " + b1 + ":1* " + a1 + ":2"},
        {{"day"},
         "ai0_accel_20261208_020001.csv.zst",
         "files " + a1 + " " + a2 + "; runs " + b1 + ":1 " + a1 + ":2*"},
        {{"day"}, "a", "run_ambiguous a"},
        // Without provenance each file is a run of its own, by name.
        {{"plain"}, nullptr, "files " + p5 + "; runs " + p4 + ":1 " + p5 + ":1*"},
    };
    for (const auto& r : rows) {
        std::string shown;
        for (const std::string& a : r.arguments) shown += a + " ";
        EXPECT_EQ(planned(dir, r.arguments, r.selector), r.planned) << shown;
    }
}

// What the inspector says on choosing the run, and its exit status.
TEST_F(RunPlan, AChoiceThatCannotBeMadeIsReportedWithItsStatus) {
    const std::string usage = "usage: acc_inspect FILE.csv";
    const struct {
        std::vector<std::string> inputs;
        const char* selector;
        int status;
        std::string said;  // the start of what is on stderr, `dir/` left out
    } rows[] = {
        // A --run that matches none lists the runs there are.
        {{"day"},
         "fedcba",
         2,
         "acc_inspect: run " RUN_B ": day/ai0_accel_20261208_030000.csv, 1 file\n"
         "acc_inspect: run " RUN_A ": day/ai0_accel_20261208_020000.csv, 2 files\n"
         "acc_inspect: --run: no run matches fedcba\n" +
             usage},
        {{"day/ai0_accel_20261208_020000.csv", "day/ai0_accel_20261208_030000.csv"},
         nullptr,
         2,
         "acc_inspect: day/ai0_accel_20261208_020000.csv and day/ai0_accel_20261208_030000.csv "
         "are of different runs; nothing read\n"},
        {{"empty"}, nullptr, 1, "acc_inspect: empty: no data file in it\n"},
        {{"plain/ai0_accel_20261208_040000.csv"},
         "ab",
         2,
         "acc_inspect: --run picks a run of a directory\n" + usage},
        {{"day"},
         "ac",
         -1,
         "acc_inspect: run " RUN_B ": day/ai0_accel_20261208_030000.csv, 1 file (inspected)\n"
         "acc_inspect: run " RUN_A ": day/ai0_accel_20261208_020000.csv, 2 files\n"},
    };
    for (const auto& r : rows) {
        arguments args{};
        for (const std::string& input : r.inputs)
            args.inputs.push_back(std::string(dir).append("/").append(input));
        args.run_selector = r.selector;
        run_plan plan;
        testing::internal::CaptureStderr();
        const int status = choose_files(&args, &plan);
        std::string text = testing::internal::GetCapturedStderr();
        for (std::size_t at; (at = text.find(dir + "/")) != std::string::npos;)
            text.erase(at, dir.size() + 1);
        EXPECT_EQ(status, r.status) << r.said;
        EXPECT_EQ(text.substr(0, r.said.size()), r.said);
    }
}

}  // namespace
