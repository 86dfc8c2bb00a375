#include "modulate/bpsk.hpp"

#include "core/constellation.hpp"
#include "modulate/symbol_upconverter.hpp"

namespace kavro {

std::vector<Complex> BpskMod::process(std::span<const std::uint8_t> bits) {
    return upconvert_symbols(nco_, gain_, bits.size(), [&](std::size_t k) { return map_bpsk(bits[k]); });
}

}  // namespace kavro
