#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/complex.hpp"

// The deterministic reference generator of the OFDM layer: the preamble segment and the training
// symbol are built from it, and every receiver rebuilds the same sequences from the same seeds.

namespace kavro {

// "OFDMPRE1" and "OFDMTRN1" in ASCII, most significant byte first.
inline constexpr std::uint64_t preamble_seed = 0x4F46444D50524531ull;
inline constexpr std::uint64_t training_seed = 0x4F46444D54524E31ull;

// One xorshift step: s ^= s << 13; s ^= s >> 7; s ^= s << 17.
constexpr std::uint64_t xorshift_step(std::uint64_t s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// ±0.70710677 from a state: float(s)·2^-64 - 0.5 >= 0 gives the positive value. The rounding to
// single precision makes that s >= 0x7FFFFFC000000000, not the top bit of s.
float unit_component(std::uint64_t state);

// n unit-magnitude samples; each takes two steps, the real part from the first. Pure: every call
// starts afresh from the seed.
std::vector<Complex> pseudo_random_unit_sequence(std::size_t n, std::uint64_t seed);

}  // namespace kavro
