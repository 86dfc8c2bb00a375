#include "demodulate/qam.hpp"

namespace kavro {

std::expected<QamDemod, QamOrderError> QamDemod::create(std::uint32_t order, float gain) {
    const auto tag = parse_qam_order(order, QamOrderError::QamDemod);
    if (!tag) return std::unexpected(tag.error());
    return QamDemod(*tag, gain);
}

std::vector<std::uint8_t> QamDemod::process(std::span<const Complex> iq) {
    return with_bits_per_axis(order_, [&](auto axis) {
        constexpr unsigned width = 2 * axis;
        std::vector<std::uint8_t> bits(width * iq.size());
        for (std::size_t k = 0; k < iq.size(); ++k) slice_qam<axis>(table_, iq[k] * gain_, &bits[width * k]);
        return bits;
    });
}

}  // namespace kavro
