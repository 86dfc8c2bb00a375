#pragma once

#include "codec/ft4.hpp"
#include "modulate/ft8.hpp"

// FT4 modulator: the tone-frame synthesis of modulate/ft8 over FT4's frame, ramp symbols
// included as ordinary full-amplitude tone-0 symbols.

namespace kavro {

// 60480 samples of the frame carrying 87 data tones.
using Ft4Mod = ToneFrameMod<codec::FtMode::Ft4, codec::ft4_frame>;

}  // namespace kavro
