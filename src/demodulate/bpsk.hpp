#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"

namespace kavro {

// Hard BPSK decisions of gain-scaled baseband samples, one bit per sample.
class BpskDemod {
public:
    explicit BpskDemod(float gain) : gain_(gain) {}

    std::vector<std::uint8_t> process(std::span<const Complex> iq);
    void set_gain(float gain) { gain_ = gain; }

private:
    float gain_;
};

}  // namespace kavro
