#include "modulate/qam.hpp"

#include "modulate/symbol_upconverter.hpp"

namespace kavro {

std::expected<QamMod, QamOrderError> QamMod::create(std::uint32_t order, double fs, double rf_hz, float gain) {
    const auto tag = parse_qam_order(order, QamOrderError::Modulator);
    if (!tag) return std::unexpected(tag.error());
    return QamMod(*tag, fs, rf_hz, gain);
}

std::vector<Complex> QamMod::process(std::span<const std::uint8_t> bits) {
    return with_bits_per_axis(order_, [&](auto axis) {
        constexpr unsigned width = 2 * axis;
        return upconvert_symbols(nco_, gain_, bits.size() / width,
                                 [&](std::size_t k) { return map_qam<axis>(table_, &bits[width * k]); });
    });
}

}  // namespace kavro
