// The simulated accelerometer: the voltage the device delivers for each
// sample. Kept free of other dependencies so that tests can compile it and
// predict every value the recorder writes.
#ifndef ACC_SIM_SIGNAL_H
#define ACC_SIM_SIGNAL_H

#include <cstdint>

// 1 g of gravity at 500 mV/g.
constexpr double sim_gravity_volts = 0.5;
// 0.5 g of vibration at 50 Hz.
constexpr double sim_vibration_hz = 50.0;
constexpr double sim_vibration_volts = 0.25;
// Half-width of the uniform noise on every sample.
constexpr double sim_noise_volts = 0.002;

// The voltage of absolute sample `n` (0-based, counted from the start of the
// task) at `sample_rate_hz`. The same arguments always give the same value.
double sim_sample_volts(std::uint64_t n, double sample_rate_hz);

#endif
