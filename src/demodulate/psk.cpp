#include "demodulate/psk.hpp"

namespace kavro {

template <unsigned BitsPerSymbol>
std::vector<std::uint8_t> PskDemod<BitsPerSymbol>::process(std::span<const Complex> iq) {
    std::vector<std::uint8_t> bits(BitsPerSymbol * iq.size());
    for (std::size_t k = 0; k < iq.size(); ++k) {
        bits[BitsPerSymbol * k] = gain_ * iq[k].re < 0.0f;
        if constexpr (BitsPerSymbol == 2) bits[2 * k + 1] = gain_ * iq[k].im < 0.0f;
    }
    return bits;
}

template class PskDemod<1>;
template class PskDemod<2>;

}  // namespace kavro
