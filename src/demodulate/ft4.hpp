#pragma once

#include <array>

#include "codec/ft4.hpp"
#include "demodulate/ft8.hpp"

// FT4 demodulator: the hard tone decisions of demodulate/ft8 over FT4's frame, skipping the ramp
// and Costas symbols.

namespace kavro {

// Tone frequencies relative to base_hz, each the single-precision value nearest k · 62.5 / 3.
inline constexpr std::array<float, 4> ft4_tone_offsets_hz{0.0f, 20.833334f, 41.666668f, 62.5f};

// The 87 data tones of the first 60480 samples.
using Ft4Demod = ToneFrameDemod<codec::FtMode::Ft4, codec::ft4_frame, ft4_tone_offsets_hz>;

}  // namespace kavro
