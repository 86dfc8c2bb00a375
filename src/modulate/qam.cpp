#include "modulate/qam.hpp"

#include "modulate/symbol_upconverter.hpp"

namespace kavro {

std::string error_message(QamOrderError error) {
    return error == QamOrderError::QamMod ? "QamMod: order must be 16, 64, or 256"
                                          : "QamDemod: order must be 16, 64, or 256";
}

std::expected<QamOrder, QamOrderError> parse_qam_order(std::uint32_t order, QamOrderError on_error) {
    switch (order) {
        case 16: return QamOrder::Qam16;
        case 64: return QamOrder::Qam64;
        case 256: return QamOrder::Qam256;
        default: return std::unexpected(on_error);
    }
}

std::expected<QamMod, QamOrderError> QamMod::create(std::uint32_t order, double fs, double rf_hz, float gain) {
    const auto tag = parse_qam_order(order, QamOrderError::QamMod);
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
