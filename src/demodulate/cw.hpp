#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"

namespace kavro {

// Smoothed magnitude of a keyed carrier: a one-pole low-pass with bandwidth env_bw_hz (at least
// 1 Hz; NaN counts as missing) over |x|, scaled by the gain.
class CwEnvelopeDemod {
public:
    // tone_hz is accepted for symmetry with the modulator and has no effect.
    CwEnvelopeDemod(double sample_rate, double tone_hz, double env_bw_hz);

    std::vector<float> process(std::span<const Complex> iq);

    void set_gain(double g) { gain_ = static_cast<float>(g); }

    float smoothing_coefficient() const { return a_; }

private:
    float a_;
    float envelope_ = 0.0f;
    float gain_ = 1.0f;
};

}  // namespace kavro
