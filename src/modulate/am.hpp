#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// Double-sideband AM with carrier: the envelope carrier_level + modulation_index·x, optionally
// clamped to [−1, 1], scaled by the gain and carried by an oscillator at rf_hz.
class AmDsbMod {
public:
    AmDsbMod(double fs, double rf_hz, double carrier_level, double modulation_index);

    // One output sample per input sample; the oscillator runs on across calls.
    std::vector<Complex> process(std::span<const float> audio);

    void set_gain(double g) { gain_ = static_cast<float>(g); }
    void set_clamp(bool on) { clamp_ = on; }

private:
    float gain_ = 1.0f;
    float carrier_level_;
    float modulation_index_;
    PhasorNco carrier_;
    bool clamp_ = false;
};

}  // namespace kavro
