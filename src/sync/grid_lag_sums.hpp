#pragma once

#include <cstddef>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

// The kernel of a quick look for a repeated segment: lag-r correlation sums over short stretches
// that start on a grid, so that a search can tell where a full look is worth making. For grid
// point k in [0, count) over interleaved samples s:
//   re + i·im = Σ conj(s[k·step + n])·s[k·step + n + r],  energy = Σ |s[k·step + n + r]|²,
// n = 0 .. len-1. Eight samples at a time run in lanes (lane l takes n ≡ l mod 8, in n order),
// the lanes are totalled in one fixed order, and the samples past the last eight are added in n
// order, so that every build gives the same bits.

namespace kavro {

// s holds (count - 1)·step + len + r samples.
void grid_lag_sums(const Complex* s, std::size_t r, std::size_t step, std::size_t len, std::size_t count, float* out_re,
                   float* out_im, float* out_energy, SimdLevel level = best_simd_level());

}  // namespace kavro
