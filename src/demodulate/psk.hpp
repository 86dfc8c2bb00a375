#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"

namespace kavro {

// Hard decisions of gain-scaled baseband samples against the shared BPSK (BitsPerSymbol 1: the I
// bit) or QPSK (2: the I bit, then the Q bit) mapping; a bit is 1 where its component is
// negative. BpskDemod and QpskDemod name the two.
template <unsigned BitsPerSymbol>
class PskDemod {
public:
    static_assert(BitsPerSymbol == 1 || BitsPerSymbol == 2);

    explicit PskDemod(float gain) : gain_(gain) {}

    std::vector<std::uint8_t> process(std::span<const Complex> iq);
    void set_gain(float gain) { gain_ = gain; }

private:
    float gain_;
};

}  // namespace kavro
