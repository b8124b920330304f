#include "sim_signal.h"

#include <cmath>

namespace {

constexpr double two_pi = 6.283185307179586476925286766559;

// A well-mixed hash, so that neighbouring samples get unrelated noise.
std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

}  // namespace

double sim_sample_volts(std::uint64_t n, double sample_rate_hz) {
    // The top 53 bits give a double in [0, 1) exactly.
    const double unit = static_cast<double>(splitmix64(n) >> 11) / 9007199254740992.0;
    const double noise = (2.0 * unit - 1.0) * sim_noise_volts;
    const double phase = two_pi * sim_vibration_hz * (static_cast<double>(n) / sample_rate_hz);
    return sim_gravity_volts + sim_vibration_volts * std::sin(phase) + noise;
}
