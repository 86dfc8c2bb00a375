#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "waveform/dvb_t.hpp"

// Whole-carrier offset search of a 2K-mode frame and its removal. The power spectra of up to
// eight symbols from `timing` (standard window, no back-off) are summed into A[b]; the offset k in
// -32..+32 maximising Σ A[(c + k) mod 2048]² over the 45 continual-pilot bins c wins, the
// smallest k on ties (and 0 when no metric is a number).

namespace kavro {

inline constexpr int integer_cfo_max_bins = 32;
inline constexpr float integer_cfo_bin_hz =
    waveform::dvb_t_sample_rate_hz / static_cast<float>(waveform::dvb_t_n_fft);  // 586.51025

// timing: first prefix sample of a symbol in iq. Symbols that do not fit whole are left out; with
// none, every metric is 0 and the result is -32.
int dvb_t_integer_cfo_bins(std::span<const Complex> iq, std::size_t timing, std::size_t cp_len);

// y[n] = x[n]·e^(jθ(n+1)) with θ = -2πk/2048 formed in single precision as k·(-fs)·(1/2048)·2π/fs
// (fs = dvb_t_sample_rate_hz), through the oscillator's unit phasor renormalised every 1024
// samples.
std::vector<Complex> remove_integer_cfo(std::span<const Complex> iq, int bins);

}  // namespace kavro
