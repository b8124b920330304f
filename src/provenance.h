// The provenance file beside each data file: "<name>.json" in place of
// "<name>.csv", written once when the data file starts and never again. It
// says when the run's time 0 was on the wall clock, whether the clock could
// be trusted, what made the file, and how it joins the run's other files.
//
// Functions here never print and never exit: they return 0 or an errno value.
#ifndef ACC_PROVENANCE_H
#define ACC_PROVENANCE_H

#include <cstddef>
#include <cstdint>

#include "data_file.h"
#include "run_settings.h"

constexpr char provenance_format[] = "acc_recorder data file 1";

// The run's part, the same for every file.
struct run_provenance {
    char run_id[33];  // 32 hex digits and a terminating zero
    double start_s;   // wall clock of the run's time 0, seconds since the epoch
    const run_settings* settings;
    const char* version;
    const char* library_path;  // the device library loaded, or nullptr when unknown
    bool simulator;
    char host[256];  // empty when unknown
};

// The kernel's view of the wall clock when a file starts.
struct clock_state {
    bool known;  // false: adjtimex refused, the rest means nothing
    bool synchronized;
    long max_error_us;
    long est_error_us;
};

// Room for a data file's path with ".json" in place of ".csv".
constexpr std::size_t provenance_path_size = csv_path_size + 1;

// Fills everything but start_s, with a new run id and the host's name.
void init_run_provenance(run_provenance* run, const run_settings* settings, const char* version,
                         const char* library_path, bool simulator);

clock_state read_clock_state();

// "<name>.json" for "<name>.csv"; ".json" appended to any other path.
void format_provenance_path(char* out, std::size_t out_size, const char* csv_path);

// Creates the provenance file of data file `segment` (from 1) at `path`
// exclusively and writes it whole. `previous` is the run's previous data
// file, or nullptr; only its name goes in. On success *fd holds the file,
// still open, for the storage thread to force to storage and close.
int write_provenance(const char* path, const run_provenance& run, std::uint32_t segment,
                     const char* previous, const clock_state& clock, int* fd);

// Writes `text` to `fd` as a JSON string: quoted, with quote, backslash and
// control characters escaped and bytes that are not UTF-8 replaced by U+FFFD;
// nullptr as null. Returns 0 or an errno value.
int write_json_string(int fd, const char* text);

#endif
