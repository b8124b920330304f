// What the provenance file beside a data file says about the run it
// belongs to: only the few keys the inspector uses.
#ifndef ACC_INSPECT_PROVENANCE_H
#define ACC_INSPECT_PROVENANCE_H

#include <cstddef>

struct provenance {
    bool present;     // a readable provenance file with a run_id was found
    char run_id[33];  // 32 hex digits
    long segment;     // 1, 2, ...
    bool have_start;
    double start_unix_s;  // start_utc: the instant of row time 0
    char start_utc[40];
    bool synchronized;  // clock.synchronized
};

// The provenance file of a data file: `x.csv`, `x.csv.zst` and `x.csv.gz`
// all have `x.json`. Returns false when the name is no data file's.
bool provenance_path(const char* data_path, char* out, std::size_t out_size);

// Reads `path`. A missing or unreadable file, or one without a run_id,
// leaves `present` false: the part is then taken as it stands.
void provenance_read(const char* path, provenance* out);

#endif
