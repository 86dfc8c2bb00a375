#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// One symbol of the shared BPSK (BitsPerSymbol 1) or QPSK (2) mapping per bit group (trailing
// bits that fill no group are ignored), carried to rf_hz by a running oscillator and scaled by
// the gain. BpskMod and QpskMod name the two.
template <unsigned BitsPerSymbol>
class PskMod {
public:
    static_assert(BitsPerSymbol == 1 || BitsPerSymbol == 2);

    PskMod(double fs, double rf_hz, float gain) : gain_(gain), nco_(rf_hz, fs) {}

    std::vector<Complex> process(std::span<const std::uint8_t> bits);
    void set_gain(float gain) { gain_ = gain; }

private:
    float gain_;
    PhasorNco nco_;
};

}  // namespace kavro
