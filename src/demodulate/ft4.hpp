#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/ft4.hpp"
#include "core/complex.hpp"

// FT4 demodulator: the hard tone decisions of demodulate/ft8 over FT4's frame, skipping the ramp
// and Costas symbols.

namespace kavro {

// Tone frequencies relative to base_hz, each the single-precision value nearest k · 62.5 / 3.
inline constexpr std::array<float, 4> FT4_TONE_OFFSETS_HZ{0.0f, 20.833334f, 41.666668f, 62.5f};

class Ft4Demod {
public:
    Ft4Demod(float fs, float base_hz) : fs_(fs), base_hz_(base_hz) {}

    // The 87 data tones of the first 60480 samples.
    std::expected<std::vector<std::uint8_t>, FtLengthError> demodulate(std::span<const Complex> iq) const;

private:
    float fs_;
    float base_hz_;
};

}  // namespace kavro
