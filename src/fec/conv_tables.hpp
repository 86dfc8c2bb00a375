#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/internal_fault.hpp"
#include "fec/conv.hpp"

// Generators and puncturing patterns of the convolutional inner codes.

namespace kavro::fec {

struct ConvGenerators {
    unsigned constraint_length;  // K
    unsigned out0;               // first output, as a mask over the register window
    unsigned out1;               // second output
};

// By ConvKind: the library's own K = 5 code (25, 23 octal) and DVB-T's K = 7 code (171, 133).
inline constexpr std::array<ConvGenerators, 2> conv_generators{{
    {5, 025, 023},
    {7, 0171, 0133},
}};

inline const ConvGenerators& generators(ConvKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= conv_generators.size()) internal_fault("unknown convolutional code");
    return conv_generators[index];
}

inline unsigned parity(unsigned x) { return static_cast<unsigned>(std::popcount(x) & 1); }

struct PuncturePattern {
    unsigned period;
    std::array<std::uint8_t, 7> x;  // gates out0 (1 = sent)
    std::array<std::uint8_t, 7> y;  // gates out1
};

// By PunctureRate: the DVB-T patterns for rates 1/2, 2/3, 3/4, 5/6 and 7/8; within a period,
// position p sends X then Y where gated on.
inline constexpr std::array<PuncturePattern, 5> puncture_patterns{{
    {1, {1}, {1}},
    {2, {1, 0}, {1, 1}},
    {3, {1, 0, 1}, {1, 1, 0}},
    {5, {1, 0, 1, 0, 1}, {1, 1, 0, 1, 0}},
    {7, {1, 0, 0, 0, 1, 0, 1}, {1, 1, 1, 1, 0, 1, 0}},
}};

}  // namespace kavro::fec
