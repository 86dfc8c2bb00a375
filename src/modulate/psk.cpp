#include "modulate/psk.hpp"

#include "core/constellation.hpp"
#include "modulate/symbol_upconverter.hpp"

namespace kavro {

template <unsigned BitsPerSymbol>
std::vector<Complex> PskMod<BitsPerSymbol>::process(std::span<const std::uint8_t> bits) {
    return upconvert_symbols(nco_, gain_, bits.size() / BitsPerSymbol, [&](std::size_t k) {
        if constexpr (BitsPerSymbol == 1) return map_bpsk(bits[k]);
        else return map_qpsk(bits[2 * k], bits[2 * k + 1]);
    });
}

template class PskMod<1>;
template class PskMod<2>;

}  // namespace kavro
