// The names of a recording's files: "ai0_accel_YYYYMMDD_HHMMSS" after the
// local time its data file started, "_2" ... "_999" added when that name
// was taken, then ".csv" for the data file (".csv.acz", ".csv.zst",
// ".csv.gz" once compressed) and ".json" for its provenance file. The
// archiver's summary of a recording (acc_summary(5)) is
// "ai0_summary_YYYYMMDD_HHMMSS[_N].csv.gz", the recording's own stamp: a
// pattern for recordings does not take it.
#ifndef ACC_DATA_FILE_NAME_H
#define ACC_DATA_FILE_NAME_H

#include <cstddef>
#include <ctime>

// When the name for this second is taken, "_2" ... "_<max>" are tried.
constexpr unsigned max_name_suffix = 999;

constexpr char compressed_zst_suffix[] = ".zst";   // after ".csv"
constexpr char compressed_gz_suffix[] = ".gz";     // after ".csv"
constexpr char compact_suffix[] = ".acz";          // after ".csv": acc_compact(5)
constexpr char provenance_suffix[] = ".json";      // in place of ".csv"
constexpr char summary_prefix[] = "ai0_summary_";  // in place of "ai0_accel_"
constexpr char summary_suffix[] = ".csv.gz";       // in place of ".csv"

// "<out_dir>/ai0_accel_YYYYMMDD_HHMMSS.csv" from a broken-down local time,
// cut short to fit `path_size` bytes including the terminating zero.
void format_csv_path(char* path, std::size_t path_size, const char* out_dir,
                     const std::tm& local_time);

// Writes `path` with "_<n>" put before its ".csv" ending (or appended when a
// cut-short path has no such ending). Returns false when it does not fit.
bool format_numbered_path(char* out, std::size_t out_size, const char* path, unsigned n);

enum class name_kind { none, data, compressed_zst, compressed_gz, compact, provenance };

// A file name without its directory, strictly: the stem exactly as the
// recorder forms it, with one of the endings above, else none. `stem_size`
// gets the stem's length and `local_time` the time in it (tm_isdst -1).
name_kind parse_data_file_name(const char* name, std::size_t* stem_size, std::tm* local_time);

// The summary's name of the recording whose stem (a data file's name
// without ".csv") is `stem`; false when `stem` is not one or the name does
// not fit `out_size` bytes with its terminating zero.
bool format_summary_name(const char* stem, char* out, std::size_t out_size);

// A summary's name without its directory, strictly as above: true with
// `stem` set to its recording's stem (the data file's name without ".csv")
// and `local_time` to the time in it (tm_isdst -1).
bool parse_summary_name(const char* name, char* stem, std::size_t stem_size, std::tm* local_time);

// The part of `path` after its last '/'.
const char* base_name(const char* path);

// The length of `path` without its data file ending (".csv", ".csv.zst",
// ".csv.gz" or ".csv.acz"); false when it has none.
bool data_file_stem(const char* path, std::size_t* stem_size);

#endif
