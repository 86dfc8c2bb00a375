#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// One QPSK symbol per bit pair (a trailing odd bit is ignored), carried to rf_hz and scaled.
class QpskMod {
public:
    QpskMod(double fs, double rf_hz, float gain) : gain_(gain), nco_(rf_hz, fs) {}

    std::vector<Complex> process(std::span<const std::uint8_t> bits);
    void set_gain(float gain) { gain_ = gain; }

private:
    float gain_;
    PhasorNco nco_;
};

}  // namespace kavro
