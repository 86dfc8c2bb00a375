#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

// Guard-interval acquisition of a preamble-less 2K-mode signal. For every candidate offset d in
// [0, samples_per_symbol) the cyclic prefix of up to four symbols (period L = cp_len + 2048) is
// correlated with the samples 2048 later:
//   γ(d) = Σ a·conj(b),  P(d) = ½ Σ (|a|² + |b|²),  M(d) = |γ(d)| - 0.95·P(d),
// all in single precision, each offset's sums formed from its own samples. The largest M wins, the
// later offset on ties; a peak within the last ceil(cp/2) offsets before a period boundary is
// moved back to the boundary when the single-window quality there is at least half the peak's (a
// late peak on a symbol edge is the same symbol's start seen from the previous symbol's tail).
//
// One bad sample must not win the search: a window holding a non-finite sample (or whose sums
// overflow) is left out of its offset's sums and the offset's M is scaled up to the windows it
// would have had; an offset left with no window, and any M that is not a number, ranks below
// every number. Such a window also scores 0 in the single-window quality.
//
// cfo_hz is the fractional carrier offset scaled for 1 201 173 samples/s (one bin = 586.51 Hz,
// unambiguous within ±293.26 Hz); metric = min(|γ|/P, 1), 0 when P is 0 or the quotient is not a
// number.

namespace kavro {

struct GiSyncResult {
    std::size_t timing = 0;  // first cyclic-prefix sample of a symbol, below samples_per_symbol
    float cfo_hz = 0.0f;
    float metric = 0.0f;
};

inline constexpr std::size_t gi_sync_fft_len = 2048;

// Nothing when cp_len or samples_per_symbol is 0, or iq holds fewer than
// samples_per_symbol - 1 + cp_len + 2048 samples; otherwise always a result (there is no lock
// threshold), whatever non-finite samples iq holds.
std::optional<GiSyncResult> dvb_t_gi_sync(std::span<const Complex> iq, std::size_t cp_len,
                                          std::size_t samples_per_symbol);

// How well the samples at t, t + L, ... carry cyclic prefixes: min(|Σγ| / ½Σ(|a|² + |b|²), 1) over
// the first `windows` prefix windows from t (windows as in the search; those that run past the
// end of iq are not counted, those holding a non-finite sample are left out); 0 when no energy is
// left. With one window this is the quality the early-peak rule compares.
float dvb_t_gi_quality(std::span<const Complex> iq, std::size_t t, std::size_t cp_len, std::size_t windows);

// The per-offset window sums behind the search, exposed so that every build can be compared
// with a plain loop. For x in [0, count): over n in [0, cp_len), a = (re, im)[x + n] and
// b = (re, im)[x + 2048 + n], out_re[x] = Σ (a.re·b.re + a.im·b.im), out_im[x] = Σ (a.im·b.re -
// a.re·b.im) and out_energy[x] = Σ (power[x + n] + power[x + 2048 + n]), each sum running from
// zero in n order. The inputs hold at least count - 1 + cp_len + 2048 values.
void gi_window_sums(const float* re, const float* im, const float* power, std::size_t cp_len, std::size_t count,
                    float* out_re, float* out_im, float* out_energy, SimdLevel level = best_simd_level());

}  // namespace kavro
