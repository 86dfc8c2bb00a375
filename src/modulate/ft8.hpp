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
void synthesize_tone_frame(const codec::ToneFrame& frame, std::span<const std::uint8_t> data_tones, float fs,
                           float base_hz, float rf_hz, float gain, std::span<Complex> out);

// The modulator of one mode: one whole frame per call (Frame.frame_samples() samples carrying
// Frame.data_tones tones), from fresh oscillators.
template <codec::FtMode M, const codec::ToneFrame& Frame>
class ToneFrameMod {
public:
    ToneFrameMod(float fs, float base_hz, float rf_hz, float gain)
        : fs_(fs), base_hz_(base_hz), rf_hz_(rf_hz), gain_(gain) {}

    std::expected<std::vector<Complex>, codec::FtLengthError> modulate(std::span<const std::uint8_t> tones) const {
        if (tones.size() != Frame.data_tones)
            return std::unexpected(
                codec::FtLengthError{M, codec::FtLengthError::Call::Modulate, Frame.data_tones, tones.size()});
        std::vector<Complex> samples(Frame.frame_samples());
        synthesize_tone_frame(Frame, tones, fs_, base_hz_, rf_hz_, gain_, samples);
        return samples;
    }

private:
    float fs_;
    float base_hz_;
    float rf_hz_;
    float gain_;
};

// 151680 samples of the frame carrying 58 data tones.
using Ft8Mod = ToneFrameMod<codec::FtMode::Ft8, codec::ft8_frame>;

}  // namespace kavro
