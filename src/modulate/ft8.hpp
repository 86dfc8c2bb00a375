#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/ft8.hpp"
#include "core/complex.hpp"

// FT8 modulator, and the tone-frame synthesis it shares with FT4: phase-continuous FSK with
// rectangular frequency steps, scaled by a gain and optionally shifted by an RF offset. Nothing is
// validated: tones beyond the alphabet are sent at base_hz + t * spacing, and degenerate sample
// rates, gains or frequencies flow into the arithmetic. Every call starts its oscillators afresh.

namespace kavro {

// Writes frame.frame_samples() samples of the frame carrying `data_tones` (frame.data_tones of
// them) into `out`. The tone oscillator is one phasor whose step changes at each symbol boundary
// and which is divided by its magnitude after each sample whose count is a multiple of 1024; the
// RF shift, applied when rf_hz is not exactly 0 (NaN shifts), is a fresh PhasorNco at rf_hz.
void synthesize_tone_frame(const ToneFrame& frame, std::span<const std::uint8_t> data_tones, float fs, float base_hz,
                           float rf_hz, float gain, std::span<Complex> out);

class Ft8Mod {
public:
    Ft8Mod(float fs, float base_hz, float rf_hz, float gain) : fs_(fs), base_hz_(base_hz), rf_hz_(rf_hz), gain_(gain) {}

    // 151680 samples of the frame carrying 58 data tones.
    std::expected<std::vector<Complex>, FtLengthError> modulate(std::span<const std::uint8_t> tones) const;

private:
    float fs_;
    float base_hz_;
    float rf_hz_;
    float gain_;
};

}  // namespace kavro
