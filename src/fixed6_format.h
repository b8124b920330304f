// "%.6f" of one double, byte for byte as the C library prints it in the C
// locale, without going through printf: formatting is nearly all the cost of
// writing a data row.
#ifndef ACC_FIXED6_FORMAT_H
#define ACC_FIXED6_FORMAT_H

#include <cstddef>

#include "data_format.h"

constexpr std::size_t fixed6_max_size = max_field_size;

// Writes what snprintf(buf, size, "%.6f", v) writes in the C locale under the
// default rounding mode (the exact value rounded half to even; "-0.000000"
// for negatives that round to zero; "nan"/"-nan" by the sign bit;
// "inf"/"-inf"), with no terminating zero. Ignores the process locale.
// Writes at most fixed6_max_size bytes; returns the end of what it wrote.
char* format_fixed6(char* out, double v);

#endif
