#include "modulate/qpsk.hpp"

#include "core/constellation.hpp"
#include "modulate/symbol_upconverter.hpp"

namespace kavro {

std::vector<Complex> QpskMod::process(std::span<const std::uint8_t> bits) {
    return upconvert_symbols(nco_, gain_, bits.size() / 2,
                             [&](std::size_t k) { return map_qpsk(bits[2 * k], bits[2 * k + 1]); });
}

}  // namespace kavro
