#pragma once

#include <cstddef>
#include <vector>

// Kaiser-windowed linear-phase FIR low-pass design, all in single precision.

namespace kavro::dsp {

// Odd tap count of a requested length n: max(n, 3) with its lowest bit set.
constexpr std::size_t lowpass_tap_count(std::size_t n) { return (n < 3 ? 3 : n) | 1u; }

// Group delay in samples of that design: max(n, 3) / 2, equal to (tap count - 1) / 2.
constexpr std::size_t lowpass_group_delay(std::size_t n) { return (n < 3 ? 3 : n) >> 1; }

// Kaiser β for a stop-band attenuation of a dB: 0.1102·(a - 8.7) above 50 dB,
// 0.5842·(a - 21)^0.4 + 0.07886·(a - 21) from 21 dB, else 0 (NaN gives 0).
float kaiser_beta(float stopband_db);

// The modified Bessel function I0 by its power series (at most 40 terms, stopping once a
// term's square falls below 1e-12 of the running sum).
float bessel_i0(float x);

// lowpass_tap_count(num_taps) taps of the ideal low-pass 2·fc·sinc(2·fc·t) centred on the group
// delay, times the Kaiser window of β = kaiser_beta(stopband_db); fc is cutoff (cycles per
// sample) clamped to [0.0001, 0.4999]. The taps are normalised to unity DC gain unless their
// sum is within 2^-23 of zero.
std::vector<float> kaiser_lowpass(std::size_t num_taps, float cutoff, float stopband_db);

}  // namespace kavro::dsp
