#include "demodulate/bpsk.hpp"

namespace kavro {

std::vector<std::uint8_t> BpskDemod::process(std::span<const Complex> iq) {
    std::vector<std::uint8_t> bits(iq.size());
    for (std::size_t k = 0; k < iq.size(); ++k) bits[k] = gain_ * iq[k].re < 0.0f;
    return bits;
}

}  // namespace kavro
