#pragma once

#include <cstddef>

#include "core/simd_level.hpp"

// The kernels of the repeated-segment search, shared by ofdm_sync and the streaming frame
// receiver. For a start offset d with M segments of R samples the search needs
// P(d) = Σ_m Σ_n conj(s[d+mR+n])·s[d+(m+1)R+n] and E(d) = Σ_m Σ_n |s[d+(m+1)R+n]|²,
// m = 0 .. M-2, n = 0 .. R-1, each inner sum over n formed from zero and added to the total in m
// order. The inner sum for pair m of offset d is the segment sum T(x) at x = d + mR, the same for
// every offset sharing that x, so each T(x) is formed once and P(d), E(d) are ordered totals of
// T(d), T(d+R), .... Every value is the single-precision expression a per-offset loop would form
// (eight offsets run side by side in vector lanes that never combine), so results are
// bit-identical to recomputing each offset from scratch.

namespace kavro {

// One segment sum over len samples at a (split into re/im): Σ conj(a[n])·a[n+r] and
// Σ |a[n+r]|² for n < len, each added in n order from zero. A segment sum T(x) is the one of
// x with len = r; the vector kernels form the same values eight offsets at a time.
struct SegmentSum {
    float re = 0.0f;
    float im = 0.0f;
    float energy = 0.0f;
};

inline SegmentSum segment_sum(const float* re, const float* im, std::size_t r, std::size_t len) {
    SegmentSum s;
    for (std::size_t n = 0; n < len; ++n) {
        const float ar = re[n], ai = im[n], br = re[n + r], bi = im[n + r];
        s.re = s.re + (ar * br + ai * bi);
        s.im = s.im + (ar * bi - ai * br);
        s.energy = s.energy + (br * br + bi * bi);
    }
    return s;
}

// T(x) and the segment energy for x in [0, count) over samples split into re/im, which hold
// count + 2R - 1 values.
void segment_sums(const float* re, const float* im, std::size_t r, std::size_t count, float* out_re, float* out_im,
                  float* out_energy, SimdLevel level = best_simd_level());

// segment_sum's sums at lag `lag` over `len` samples for x in [0, count), over samples split into
// re/im, which hold count + lag + len - 1 values (T(x) is the one with lag = len = R).
void lagged_sums(const float* re, const float* im, std::size_t lag, std::size_t len, std::size_t count, float* out_re,
                 float* out_im, float* out_energy, SimdLevel level = best_simd_level());

// P, E and the single-precision ratio |P|² / E² for offsets [0, count), from segment sums held
// from offset 0 on (count + (pairs - 1)·R of them).
void pair_totals(const float* t_re, const float* t_im, const float* t_energy, std::size_t r, std::size_t pairs,
                 std::size_t count, float* p_re, float* p_im, float* energy, float* ratio,
                 SimdLevel level = best_simd_level());

// min(|P|² / E², 1) from the single-precision ratio, or NaN when there is no candidate (E not
// positive, or an undefined ratio). When E² overflows single precision or falls below its normal
// range the ratio is formed in double instead, so that a very large or very small but finite
// signal still gets its metric.
float correlation_metric(float p_re, float p_im, float energy, float ratio);

}  // namespace kavro
