#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// Keyed tone: the key (limited to [0, 1]) drives a one-pole envelope with separate rise and fall
// time constants, which scales an oscillator at tone_hz.
class CwKeyedMod {
public:
    // rise_ms and fall_ms below 0.1 (or NaN) act as 0.1 ms.
    CwKeyedMod(double sample_rate, double tone_hz, double rise_ms, double fall_ms);

    // `keying`: the keying envelope, nominally 0..1.
    std::vector<Complex> process(std::span<const float> keying);

    void set_gain(double g) { gain_ = static_cast<float>(g); }

    float rise_coefficient() const { return rise_; }
    float fall_coefficient() const { return fall_; }

private:
    PhasorNco tone_;
    float envelope_ = 0.0f;
    float rise_;
    float fall_;
    float gain_ = 1.0f;
};

}  // namespace kavro
