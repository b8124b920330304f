// A recording's summary (acc_summary(5)): per interval of the inspector's
// trend, its figures and its instant, written beside the recording as
// gzip-compressed CSV by the inspector's own pass over the rows, so that
// every figure is the one `acc_inspect FILE` gives for that interval.
//
// Written like the archiver's other files: a hidden temporary, forced to
// storage, renamed into place, the directory forced. Memory stays bounded
// whatever the recording's length: each interval is written as it closes.
// Nothing here prints or exits.
#ifndef ACC_RECORDING_SUMMARY_H
#define ACC_RECORDING_SUMMARY_H

#include <csignal>
#include <cstdint>
#include <string>

#include "summary_format.h"

constexpr char summary_temporary_suffix[] = ".tmp";  // after the summary's name

struct summary_result {
    std::uint64_t intervals;
    bool read_fault;  // the data file has a fault: the rows before it are summarized
    // On failure, the step that failed, for the message: "open",
    // "summarize", "write", "sync", "rename".
    const char* failed_step;
};

// Writes the summary of the recording `stem` from its data file `data_name`
// (plain, or archived in any form the inspector reads) and its provenance
// file, if any. Gives up with EINTR as soon as *stop is set. Returns 0 or an
// errno value; on failure nothing but what was there is left.
int write_summary(int dir_fd, const std::string& stem, const std::string& data_name,
                  const volatile std::sig_atomic_t* stop, summary_result* result);

// The highest velocity RMS of the summary `name`, 0 when no interval has
// one. Returns 0 or an errno value (EBADMSG: not a summary of this version,
// or cut short); *highest is then NaN.
int summary_highest_velocity(int dir_fd, const std::string& name, double* highest);

#endif
