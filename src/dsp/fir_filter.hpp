#pragma once

#include <span>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

namespace kavro::dsp {

// Zero-delay FIR over a whole buffer, in place: with N = taps.size() (odd) and M = (N - 1) / 2,
// y[i] = sum over k = 0..N-1 of taps[k]·x[i + M - k], x taken as 0 outside the buffer, each sum
// accumulated from 0 in increasing k. The first and last M outputs therefore see the zeros
// beyond the buffer ends. Every build `level` picks gives the same bits.
void filter_centred_in_place(std::span<const float> taps, std::span<Complex> samples,
                             SimdLevel level = best_simd_level());

}  // namespace kavro::dsp
