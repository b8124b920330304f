// The files of a data directory as the archiver sees them: recordings by
// the recorder's name pattern and header, grouped with their compressed form,
// provenance file and summary; everything else is left alone.
//
// Every access is relative to the directory's descriptor, by a name without
// a slash, and never follows a symbolic link. Nothing here prints or exits:
// functions return 0 or an errno value.
#ifndef ACC_RECORDING_FILES_H
#define ACC_RECORDING_FILES_H

#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "data_file_name.h"
#include "data_format.h"
#include "recorded_file.h"

constexpr char temporary_prefix[] = ".";                 // hidden while it is written
constexpr char temporary_suffix[] = ".zst.tmp";          // after ".csv"
constexpr char compact_temporary_suffix[] = ".acz.tmp";  // after ".csv"

static_assert(sizeof temporary_suffix == sizeof compact_temporary_suffix, "one length");

enum class file_kind { data, compressed, compact, sidecar, summary, temporary };

// What a directory entry's name says. The stem is "ai0_accel_YYYYMMDD_HHMMSS"
// with "_N" when the recorder numbered it.
struct parsed_name {
    file_kind kind;
    std::string stem;
    std::time_t name_time;  // the local time in the name
};

// False for every name that is not one of the six kinds of a recording's
// file. A temporary is the archiver's hidden copy of a compressed file or a
// summary being written.
bool parse_file_name(const char* name, parsed_name* parsed);

// A recording: its data file and/or compressed file, and its provenance.
struct recording {
    std::string stem;
    data_state data;    // the .csv
    bool compressed;    // a .csv.zst, a regular file
    bool sidecar;       // a .json, a regular file
    double start_s;     // the provenance's start_utc, else the name's time
    std::time_t end_s;  // the latest modification time of the data files
    std::uint64_t bytes_on_disk;
    bool compact;                  // a .csv.acz, a regular file; `compressed` is true too
    bool summary;                  // its summary, a regular file: not counted in bytes_on_disk
    double highest_velocity_mm_s;  // of its summary, read for --keep-events; else NaN
};

// The recording's archived file, "<stem>.csv.acz" or "<stem>.csv.zst".
std::string archived_name(const recording& rec);

// The recording's summary, "ai0_summary_YYYYMMDD_HHMMSS[_N].csv.gz".
std::string summary_name(const recording& rec);

// Scans the directory at `dir_fd`. `recordings` gets one entry per stem,
// sorted by start time (then name); `temporaries` the names of the
// archiver's temporary files.
int scan_directory(int dir_fd, std::vector<recording>* recordings,
                   std::vector<std::string>* temporaries);

// False when the recording has a compressed file that, read far enough to
// see the header, is not the recorder's: read only for a recording about
// to go, so that the scan stays cheap.
bool compressed_is_recorders(int dir_fd, const recording& rec);

// Deletes the recording's data file, compressed file and then provenance
// file, and forces the directory to storage. On failure the rest is kept.
int delete_recording(int dir_fd, const recording& rec);

// Deletes the recording's summary and forces the directory to storage.
int delete_summary(int dir_fd, const recording& rec);

// Removes one of the archiver's temporary files.
int remove_temporary(int dir_fd, const std::string& name);

// Creates the hidden temporary `name` exclusively, with the same owner and
// mode as the file `original` describes, whoever runs this. Returns 0 or an
// errno value; on success *fd holds it (read and write).
int create_temporary(int dir_fd, const std::string& name, const struct stat& original, int* fd);

// Forces a directory's entries to storage.
int sync_directory_fd(int dir_fd);

// Puts the finished temporary `temp_name` in place as `final_name` for good:
// not once *stop is set, then the rename, then the directory forced to storage.
// Returns 0 or an errno value with *step naming the step that failed; clears
// *temp_named once the temporary's name is gone.
int install_temporary(int dir_fd, const std::string& temp_name, const std::string& final_name,
                      const volatile std::sig_atomic_t* stop, bool* temp_named, const char** step);

#endif
