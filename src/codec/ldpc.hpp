#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/simd_level.hpp"

// The systematic LDPC(174,91) code of FT8 and FT4. Packed words are most significant bit first
// (bit i is bit 7 - i % 8 of byte i / 8): the 12-byte protected message holds bits 0-90, the
// 22-byte codeword the protected message in bits 0-90 and parity bits 0-82 in bits 91-173.
// Soft values are positive for bit 0; a hard decision is 1 where the value is 0, -0 or below
// (NaN decides 0).

namespace kavro::codec {

inline constexpr std::size_t ldpc_n = 174;
inline constexpr std::size_t ldpc_k = 91;
inline constexpr std::size_t ldpc_m = 83;
inline constexpr unsigned ldpc_max_iterations = 20;

// Writes the codeword of a protected message whose bits 91-95 are zero.
void ldpc_encode(std::span<const std::uint8_t, 12> message, std::span<std::uint8_t, 22> codeword);

// Number of the 83 checks whose members' bits (one per byte, 0 or 1) XOR to 1.
std::size_t ldpc_count_errors(std::span<const std::uint8_t, ldpc_n> hard);

// Sum-product belief propagation with rational tanh/atanh approximations, at most 20 iterations.
// Writes the decision with the fewest failed checks among the raw decision and every iteration's
// (the earliest among equals) and returns its count; 0 means a codeword. A raw decision that is
// already a codeword costs one check count and nothing else. `level` picks the build of the
// iterations; every level gives the same result.
std::size_t ldpc_decode_soft(std::span<const float, ldpc_n> llr, std::span<std::uint8_t, ldpc_n> hard,
                             SimdLevel level = best_simd_level());

}  // namespace kavro::codec
