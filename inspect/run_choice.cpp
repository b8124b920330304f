#include "run_choice.h"

#include "program_status.h"

#include <cstdio>
#include <cstring>

int choose_files(arguments* args, run_plan* plan) {
    plan_run(args->inputs, args->run_selector, plan);
    if (plan->runs.size() > 1 || (plan->fault != run_fault::none && !plan->runs.empty())) {
        for (std::size_t i = 0; i < plan->runs.size(); ++i) {
            const run_seen& r = plan->runs[i];
            std::fprintf(
                stderr, "acc_inspect: run %s: %s, %zu file%s%s\n",
                r.run_id.empty() ? "without provenance" : r.run_id.c_str(), r.first_file.c_str(),
                r.files, r.files == 1 ? "" : "s",
                plan->fault == run_fault::none && i == plan->chosen_run ? " (inspected)" : "");
        }
    }
    switch (plan->fault) {
        case run_fault::none:
            break;
        case run_fault::cannot_list:
            return report_error(plan->subject.c_str(), "cannot list", plan->err);
        case run_fault::no_recording:
            std::fprintf(stderr, "acc_inspect: %s: no data file in it\n", plan->subject.c_str());
            return exit_invalid;
        case run_fault::two_runs:
        case run_fault::segment_twice:
        case run_fault::settings_differ:
            std::fprintf(stderr, "acc_inspect: %s and %s %s; nothing read\n", plan->subject.c_str(),
                         plan->other.c_str(),
                         plan->fault == run_fault::two_runs ? "are of different runs"
                         : plan->fault == run_fault::segment_twice
                             ? "are the same segment of one run"
                             : "were recorded at different settings");
            return exit_usage;
        case run_fault::run_not_found:
            return usage_error("--run: no run matches ", plan->subject.c_str());
        case run_fault::run_ambiguous:
            return usage_error("--run: several runs match ", plan->subject.c_str());
    }
    if (args->run_selector && plan->runs.empty())
        return usage_error("--run picks a run of a directory", nullptr);
    args->data_path = plan->files[0].path.c_str();
    return -1;
}

void take_run_settings(const run_plan& plan, inspect_config* config) {
    set_run_settings(config, plan.sample_rate_hz, plan.sensitivity_mv_per_g,
                     plan.settings_from_provenance);
}

// Where row time 0 stands on the clock: the first file's provenance.
run_clock clock_of(const run_plan& plan) { return clock_of(plan.files[0].prov); }

// --from and --to given as clock times become row times. Returns -1 to go
// on, else the exit status.
int settle_window(const arguments& args, const run_clock& clock, inspect_config* config) {
    if ((args.from_is_utc || args.to_is_utc) && !clock.known)
        return usage_error("a UTC time for --from or --to needs the run's provenance file",
                           nullptr);
    if (args.from_is_utc) config->from_s = args.from_unix_s - clock.start_unix_s;
    if (args.to_is_utc) config->to_s = args.to_unix_s - clock.start_unix_s;
    if (config->have_from && config->have_to && !(config->from_s < config->to_s))
        return usage_error("--to must be later than --from", nullptr);
    return -1;
}
