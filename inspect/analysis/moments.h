// Running moments of one series of values, in one pass and constant memory:
// the count and range; the sums of the values and of their squares,
// compensated so that an hour of rows loses no digits the report shows; and
// the sums of the powers of the departures from the first value, which is
// close to the mean, so that moments about the mean keep their digits too.
#ifndef ACC_INSPECT_MOMENTS_H
#define ACC_INSPECT_MOMENTS_H

#include <cstdint>

struct moments {
    std::uint64_t count;
    double min;
    double max;
    double sum;
    double sum_carry;
    double sum_sq;
    double sum_sq_carry;
    double shift;  // the first value
    double s1;     // sums of (value - shift)^1 .. ^4
    double s2;
    double s3;
    double s4;
};

void moments_add(moments* m, double value);
// 0 without values.
double moments_mean(const moments& m);
double moments_rms(const moments& m);
// RMS about the mean: the vibration without the static level.
double moments_ac_rms(const moments& m);

#endif
