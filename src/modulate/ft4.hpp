#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/ft4.hpp"
#include "core/complex.hpp"

// FT4 modulator: the tone-frame synthesis of modulate/ft8 over FT4's frame, ramp symbols
// included as ordinary full-amplitude tone-0 symbols.

namespace kavro {

class Ft4Mod {
public:
    Ft4Mod(float fs, float base_hz, float rf_hz, float gain) : fs_(fs), base_hz_(base_hz), rf_hz_(rf_hz), gain_(gain) {}

    // 60480 samples of the frame carrying 87 data tones.
    std::expected<std::vector<Complex>, FtLengthError> modulate(std::span<const std::uint8_t> tones) const;

private:
    float fs_;
    float base_hz_;
    float rf_hz_;
    float gain_;
};

}  // namespace kavro
