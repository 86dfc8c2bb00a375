#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/ft8.hpp"
#include "core/complex.hpp"
#include "core/simd_level.hpp"

// FT8 demodulator, and the hard tone decisions it shares with FT4, for a frame already aligned in
// time and frequency: the energy of each symbol at each tone frequency, measured by correlating
// with a phasor that restarts at 1 for every symbol and tone, and the strongest tone (the lowest
// among equals; NaN never wins; all NaN gives tone 0). The synchronisation and ramp symbols are
// not decided. Nothing is validated.

namespace kavro {

// Tone frequencies relative to base_hz.
inline constexpr std::array<float, 8> ft8_tone_offsets_hz{0.0f, 6.25f, 12.5f, 18.75f, 25.0f, 31.25f, 37.5f, 43.75f};

// Decides the frame.data_tones data symbols of the frame starting at iq[0] (iq holds at least
// frame.frame_samples() samples) into `tones`. `offsets_hz` has one entry per tone of the
// alphabet (8 or 4). `level` picks the build of the correlations; every level decides alike.
void decide_data_tones(const codec::ToneFrame& frame, std::span<const float> offsets_hz, float fs, float base_hz,
                       std::span<const Complex> iq, std::span<std::uint8_t> tones, SimdLevel level = best_simd_level());

// The demodulator of one mode: the Frame.data_tones data tones of the first Frame.frame_samples()
// samples, at the tone frequencies base_hz + Offsets[t].
template <codec::FtMode M, const codec::ToneFrame& Frame, const auto& Offsets>
class ToneFrameDemod {
public:
    ToneFrameDemod(float fs, float base_hz) : fs_(fs), base_hz_(base_hz) {}

    std::expected<std::vector<std::uint8_t>, codec::FtLengthError> demodulate(std::span<const Complex> iq) const {
        if (iq.size() < Frame.frame_samples())
            return std::unexpected(
                codec::FtLengthError{M, codec::FtLengthError::Call::Demodulate, Frame.frame_samples(), iq.size()});
        std::vector<std::uint8_t> tones(Frame.data_tones);
        decide_data_tones(Frame, Offsets, fs_, base_hz_, iq, tones);
        return tones;
    }

private:
    float fs_;
    float base_hz_;
};

// The 58 data tones of the first 151680 samples.
using Ft8Demod = ToneFrameDemod<codec::FtMode::Ft8, codec::ft8_frame, ft8_tone_offsets_hz>;

}  // namespace kavro
