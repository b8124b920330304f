#include "run_files.h"

#include "data_file_name.h"
#include "run_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <sys/stat.h>

namespace {

// The fault the plan ends on, and what it is about. Returns false.
bool plan_fault(run_plan* plan, run_fault fault, const std::string& subject,
                const std::string& other = std::string()) {
    plan->fault = fault;
    plan->subject = subject;
    plan->other = other;
    return false;
}

// A data file's name as the recorder forms it, archived or not.
bool is_data_file_name(const char* name) {
    std::size_t stem = 0;
    std::tm local{};
    const name_kind kind = parse_data_file_name(name, &stem, &local);
    return kind != name_kind::none && kind != name_kind::provenance;
}

run_file file_of(const std::string& path) {
    run_file file{path, provenance{}};
    provenance_of(path.c_str(), &file.prov);
    return file;
}

int list_directory(const std::string& dir, std::vector<std::string>* names) {
    DIR* d = opendir(dir.c_str());
    if (!d) return errno;
    for (;;) {
        errno = 0;
        // cppcheck-suppress readdirCalled ; the stream is this function's alone
        const dirent* entry = readdir(d);
        if (!entry) break;
        if (is_data_file_name(entry->d_name)) names->push_back(entry->d_name);
    }
    const int error = errno;
    closedir(d);
    std::sort(names->begin(), names->end());
    return error;
}

// Files with provenance of one run_id together, each file without it a run
// of its own, as a recorder without a file span writes.
void group_runs(const std::vector<run_file>& files, std::vector<std::vector<run_file>>* runs) {
    for (const run_file& f : files) {
        auto same = std::find_if(runs->begin(), runs->end(), [&](const std::vector<run_file>& r) {
            return f.prov.present && r[0].prov.present &&
                   std::strcmp(r[0].prov.run_id, f.prov.run_id) == 0;
        });
        if (same == runs->end())
            runs->push_back({f});
        else
            same->push_back(f);
    }
}

// With provenance for every file, segment order; two files of one segment
// are refused.
bool order_run(std::vector<run_file>* files, run_plan* plan) {
    const bool all =
        std::all_of(files->begin(), files->end(), [](const run_file& f) { return f.prov.present; });
    if (!all) return true;
    std::stable_sort(files->begin(), files->end(), [](const run_file& a, const run_file& b) {
        return a.prov.segment < b.prov.segment;
    });
    for (std::size_t i = 1; i < files->size(); ++i)
        if ((*files)[i].prov.segment == (*files)[i - 1].prov.segment) {
            return plan_fault(plan, run_fault::segment_twice, (*files)[i - 1].path,
                              (*files)[i].path);
        }
    return true;
}

bool matches(const std::vector<run_file>& run, const char* selector) {
    const std::size_t n = std::strlen(selector);
    if (run[0].prov.present && n > 0 && std::strncmp(run[0].prov.run_id, selector, n) == 0)
        return true;
    return std::any_of(run.begin(), run.end(), [&](const run_file& f) {
        return std::strcmp(base_name(f.path.c_str()), base_name(selector)) == 0;
    });
}

double start_of(const std::vector<run_file>& run) {
    for (const run_file& f : run)
        if (f.prov.have_start) return f.prov.start_unix_s;
    return 0.0;
}

// A shell pattern such as ai0_accel_20261208_* names the provenance files
// beside the data files: they describe the run, they are none of its rows.
bool is_sidecar_of_another(const std::string& argument, const std::vector<std::string>& arguments) {
    char sidecar[4096];
    return std::any_of(arguments.begin(), arguments.end(), [&](const std::string& other) {
        return &other != &argument && provenance_path(other.c_str(), sidecar, sizeof sidecar) &&
               argument == sidecar;
    });
}

// The settings a file was recorded at, as "path (10000 Hz, 500 mV/g)".
std::string described(const std::string& path, double rate_hz, double mv_per_g) {
    char text[80];
    std::snprintf(text, sizeof text, " (%g Hz, %g mV/g)", rate_hz, mv_per_g);
    return path + text;
}

// One rate and one sensitivity for the whole run, or a fault naming two
// files that disagree.
bool settle_settings(run_plan* plan) {
    const run_settings& built = compiled_run_settings;
    plan->sample_rate_hz = built.sample_rate_hz;
    plan->sensitivity_mv_per_g = built.sensitivity_mv_per_g;
    plan->settings_from_provenance = false;
    for (std::size_t i = 0; i < plan->files.size(); ++i) {
        const provenance& p = plan->files[i].prov;
        const double rate = p.have_settings ? p.sample_rate_hz : built.sample_rate_hz;
        const double mv = p.have_settings ? p.sensitivity_mv_per_g : built.sensitivity_mv_per_g;
        if (i > 0 && (rate != plan->sample_rate_hz || mv != plan->sensitivity_mv_per_g)) {
            return plan_fault(
                plan, run_fault::settings_differ,
                described(plan->files[0].path, plan->sample_rate_hz, plan->sensitivity_mv_per_g),
                described(plan->files[i].path, rate, mv));
        }
        plan->sample_rate_hz = rate;
        plan->sensitivity_mv_per_g = mv;
        plan->settings_from_provenance = plan->settings_from_provenance || p.have_settings;
    }
    return true;
}

}  // namespace

bool is_directory(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void plan_run(const std::vector<std::string>& arguments, const char* run_selector, run_plan* plan) {
    *plan = run_plan{};
    std::vector<run_file> files;
    bool from_directory = false;
    for (const std::string& argument : arguments) {
        if (is_sidecar_of_another(argument, arguments)) continue;
        if (!is_directory(argument.c_str())) {
            files.push_back(file_of(argument));
            continue;
        }
        from_directory = true;
        std::vector<std::string> names;
        plan->err = list_directory(argument, &names);
        if (plan->err != 0 || names.empty()) {
            plan_fault(plan, plan->err != 0 ? run_fault::cannot_list : run_fault::no_recording,
                       argument);
            return;
        }
        const std::string prefix = argument.back() == '/' ? argument : argument + "/";
        for (const std::string& name : names) files.push_back(file_of(prefix + name));
    }

    std::vector<std::vector<run_file>> runs;
    group_runs(files, &runs);
    if (!from_directory) {
        // Files named one by one are one run: those with provenance must agree.
        const run_file* first = nullptr;
        for (const run_file& f : files) {
            if (!f.prov.present) continue;
            if (first && std::strcmp(first->prov.run_id, f.prov.run_id) != 0) {
                plan_fault(plan, run_fault::two_runs, first->path, f.path);
                return;
            }
            if (!first) first = &f;
        }
        if (!order_run(&files, plan)) return;
        plan->files = files;
        settle_settings(plan);
        return;
    }

    for (std::vector<run_file>& run : runs)
        if (!order_run(&run, plan)) return;
    // Oldest first: by the clock where the provenance says, else by name.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const std::vector<run_file>& a, const std::vector<run_file>& b) {
                         const double sa = start_of(a), sb = start_of(b);
                         if (sa != sb && sa > 0 && sb > 0) return sa < sb;
                         return std::strcmp(base_name(a[0].path.c_str()),
                                            base_name(b[0].path.c_str())) < 0;
                     });
    // Listed whatever --run finds, so that a selector that fails shows what there is.
    for (const std::vector<run_file>& run : runs)
        plan->runs.push_back(run_seen{
            run[0].path, run.size(), run[0].prov.present ? run[0].prov.run_id : "", start_of(run)});
    std::size_t chosen = runs.size() - 1;
    if (run_selector) {
        std::size_t found = 0;
        for (std::size_t i = 0; i < runs.size(); ++i)
            if (matches(runs[i], run_selector)) {
                chosen = i;
                ++found;
            }
        if (found != 1) {
            plan_fault(plan, found == 0 ? run_fault::run_not_found : run_fault::run_ambiguous,
                       run_selector);
            return;
        }
    }
    plan->chosen_run = chosen;
    plan->files = runs[chosen];
    settle_settings(plan);
}
