// The provenance file beside each data file: "<name>.json" in place of
// "<name>.csv", written once by the recorder when the data file starts and
// never again. It says when the run's time 0 was on the wall clock, whether
// the clock could be trusted, how the rows were made, and how the file joins
// the run's other files. Its format is in acc_recorder(1), FILES.
//
// Functions here never print and never exit.
#ifndef ACC_PROVENANCE_FILE_H
#define ACC_PROVENANCE_FILE_H

#include <cstddef>
#include <cstdint>

#include "run_settings.h"

constexpr char provenance_format[] = "acc_recorder data file 1";

// The provenance file of a data file: `x.csv`, `x.csv.zst` and `x.csv.gz`
// all have `x.json`. False when the path has no such ending or the result
// does not fit `out_size` bytes.
bool provenance_path(const char* data_path, char* out, std::size_t out_size);

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

// Creates the provenance file of data file `segment` (from 1) at `path`
// exclusively and writes it whole. `previous` is the run's previous data
// file, or nullptr; only its name goes in. On success *fd holds the file,
// still open, for the recorder to force to storage and close. Returns 0 or
// an errno value.
int write_provenance(const char* path, const run_provenance& run, std::uint32_t segment,
                     const char* previous, const clock_state& clock, int* fd);

// What the tools read back: only the few keys they use. Each is looked for
// on its own; a key missing or malformed leaves its fields unset.
struct provenance {
    bool present;     // a run_id was found: the file is a run's
    char run_id[33];  // 32 hex digits
    long segment;     // 1, 2, ...
    bool have_start;
    double start_unix_s;  // start_utc: the instant of row time 0
    char start_utc[40];
    bool synchronized;   // clock.synchronized
    bool have_settings;  // both of the settings below, finite and positive
    double sample_rate_hz;
    double sensitivity_mv_per_g;
};

// Reads the provenance file open at `fd` (at most 64 KiB of it). A file
// that cannot be read reads as one without any key.
void provenance_read(int fd, provenance* out);

// The same from text held in memory, zero-terminated.
void provenance_parse(const char* text, provenance* out);

// The provenance file of the data file at `data_path`, read as above; none
// at all when the path has no data file's ending or cannot be opened.
void provenance_of(const char* data_path, provenance* out);

#endif
