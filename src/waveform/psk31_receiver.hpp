#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"
#include "core/simd_level.hpp"
#include "waveform/psk31_timing.hpp"

// The PSK31 receiver's sample loop, shared by the demodulators and the carrier search: it mixes
// rf_hz down, integrates each symbol against the rising half-cosine window while subtracting the
// previous symbol's tail, corrects the carrier phase with a first-order loop and writes the
// differential product of consecutive symbols: one float per symbol for BPSK31 (positive for a
// kept phase, bit 1), the pair (re, im) for QPSK31. Values scale with gain squared.

namespace kavro::waveform {

// The carried state. `prev_rx` is the last symbol's integrated value before gain and phase
// correction; its tail is what the next symbol's integration subtracts.
struct Psk31DemodState {
    std::vector<float> window;
    bool mix_on = false;
    PhasorNco nco;
    std::size_t sps = 0;
    std::size_t sample_idx = 0;
    Complex sym_acc{};
    Complex prev_sym{1.0f, 0.0f};
    Complex prev_rx{1.0f, 0.0f};
    float gain = 1.0f;
    float window_energy = 0.0f;
    float phase = 0.0f;
    float phase_gain = 0.05f;

    Psk31DemodState(std::size_t samples_per_symbol, float fs, float rf_hz, float gain);
    void reset();
    // Symbols that n more samples complete: the output room that lets a call read all n.
    std::size_t symbols_in(std::size_t n) const { return (sample_idx + n) / sps; }
};

// Reads `input` into `output` and returns the floats written. Every sample is read when the
// output has room for the symbols they complete; otherwise the loop stops right after the last
// symbol that fits and leaves the rest unread. A symbol in progress carries over in the state, so
// any chunking gives the same values. `level` picks the build of the loop; every level gives the
// same bits.
template <Psk31Mode M>
std::size_t psk31_receive(Psk31DemodState& state, std::span<const Complex> input, std::span<float> output,
                          SimdLevel level);

}  // namespace kavro::waveform
