#include "demodulate/qpsk.hpp"

namespace kavro {

std::vector<std::uint8_t> QpskDemod::process(std::span<const Complex> iq) {
    std::vector<std::uint8_t> bits(2 * iq.size());
    for (std::size_t k = 0; k < iq.size(); ++k) {
        bits[2 * k] = gain_ * iq[k].re < 0.0f;
        bits[2 * k + 1] = gain_ * iq[k].im < 0.0f;
    }
    return bits;
}

}  // namespace kavro
