#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"

namespace kavro {

// Hard QPSK decisions of gain-scaled baseband samples: the I bit then the Q bit per sample.
class QpskDemod {
public:
    explicit QpskDemod(float gain) : gain_(gain) {}

    std::vector<std::uint8_t> process(std::span<const Complex> iq);
    void set_gain(float gain) { gain_ = gain; }

private:
    float gain_;
};

}  // namespace kavro
