#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// Phase modulation: each sample is gain·e^(j·kp·x) carried by an oscillator at rf_hz; the phase
// offset belongs to its own sample and is not accumulated.
class PmDirectPhaseMod {
public:
    PmDirectPhaseMod(double sample_rate, double kp_rad_per_unit, double rf_hz);

    std::vector<Complex> process(std::span<const float> audio);

    void set_gain(double g) { gain_ = static_cast<float>(g); }
    void set_sensitivity(double kp) { kp_ = static_cast<float>(kp); }

private:
    float kp_;
    PhasorNco carrier_;
    float gain_ = 1.0f;
};

}  // namespace kavro
