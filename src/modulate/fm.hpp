#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// Frequency modulation by phase accumulation: each sample turns a modulation phasor by
// 2π·deviation_hz·x/fs, and the result is carried by an oscillator at rf_hz. The instantaneous
// frequency is rf_hz + deviation_hz·x.
class FmPhaseAccumMod {
public:
    FmPhaseAccumMod(double sample_rate, double deviation_hz, double rf_hz);

    std::vector<Complex> process(std::span<const float> audio);

    void set_gain(double g) { gain_ = static_cast<float>(g); }
    // Takes effect from the next process call.
    void set_deviation(double hz) { deviation_hz_ = static_cast<float>(hz); }

private:
    // The modulation phasor and its own sample counter, renormalised every 1024 samples like
    // an oscillator whose step changes every sample.
    PhasorNco modulation_;
    float sample_rate_;
    float deviation_hz_;
    PhasorNco rf_;
    float gain_ = 1.0f;
};

}  // namespace kavro
