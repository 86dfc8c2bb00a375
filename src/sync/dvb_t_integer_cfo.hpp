#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/complex.hpp"
#include "core/simd_level.hpp"
#include "waveform/dvb_t.hpp"

// Carrier offsets of a 2K-mode frame: the whole-carrier offset search, and the removal of an
// offset of any size, in carrier spacings (one spacing is 1/2048 of the sample rate).
//
// The search sums the power spectra of up to eight symbols from `timing` (standard window, no
// back-off, each window first turned back by the given fractional offset) into A[b]; the offset k
// in -32..+32 maximising Σ A[(c + k) mod 2048]² over the 45 continual-pilot bins c wins, the
// smallest k on ties (and 0 when no metric is a number). With the fractional offset removed
// first, k is the whole part of the offset that is left, however close to half a spacing the
// fraction is.

namespace kavro {

inline constexpr int integer_cfo_max_bins = 32;
inline constexpr float integer_cfo_bin_hz =
    waveform::dvb_t_sample_rate_hz / static_cast<float>(waveform::dvb_t_n_fft);  // 586.51025

// timing: first prefix sample of a symbol in iq. Symbols that do not fit whole are left out; with
// none, every metric is 0 and the result is -32.
int dvb_t_integer_cfo_bins(std::span<const Complex> iq, std::size_t timing, std::size_t cp_len,
                           double fractional_bins = 0.0);

// out[n] = iq[n]·e^(-j2π·bins·(first + n)/2048) for every n of iq (out holds as many): the offset
// removed from samples that start at sample `first` of a longer run, so that pieces of one run
// are turned alike. Four phasors, started at the exact phases of the first four samples, are
// each advanced four samples at a time in single precision and renormalised every 1024 samples;
// every build gives the same bits.
void remove_carrier_offset(std::span<const Complex> iq, double bins, std::size_t first, std::span<Complex> out,
                           SimdLevel level = best_simd_level());

}  // namespace kavro
