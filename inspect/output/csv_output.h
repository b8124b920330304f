// The spectrum, the one-third-octave bands and the trend as CSV files in a
// directory, for spreadsheets and scripts.
#ifndef ACC_INSPECT_CSV_OUTPUT_H
#define ACC_INSPECT_CSV_OUTPUT_H

#include "inspect_run.h"

#include <cstddef>

constexpr char spectrum_csv_name[] = "spectrum.csv";
constexpr char octave_csv_name[] = "third_octave_bands.csv";
constexpr char trend_csv_name[] = "trend.csv";

// Writes the three files into `dir`, making it if it does not exist (its
// parent must). Returns 0 or an errno value, with the path that failed in
// `failed_path`.
int write_csv_files(const char* dir, const inspect_result& result, char* failed_path,
                    std::size_t failed_size);

#endif
