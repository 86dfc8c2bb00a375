#include "core/constellation.hpp"

namespace kavro {

namespace {

QamOrder qam_order_of(ConstellationOrder order) {
    return static_cast<QamOrder>(static_cast<unsigned>(order) - 2);
}

}  // namespace

std::string error_message(QamOrderError error) {
    return error == QamOrderError::Modulator ? "QamMod: order must be 16, 64, or 256"
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

void map_cells(ConstellationOrder order, std::span<const std::uint8_t> bits, std::span<Complex> cells) {
    const unsigned width = bits_per_cell(order);
    switch (order) {
        case ConstellationOrder::Bpsk:
            for (std::size_t k = 0; k < cells.size(); ++k) cells[k] = map_bpsk(bits[k]);
            return;
        case ConstellationOrder::Qpsk:
            for (std::size_t k = 0; k < cells.size(); ++k) cells[k] = map_qpsk(bits[2 * k], bits[2 * k + 1]);
            return;
        default: {
            const QamGrayLevels table(qam_order_of(order));
            with_bits_per_axis(qam_order_of(order), [&](auto axis) {
                for (std::size_t k = 0; k < cells.size(); ++k) cells[k] = map_qam<axis>(table, &bits[width * k]);
            });
            return;
        }
    }
}

void slice_cells(ConstellationOrder order, std::span<const Complex> cells, std::span<std::uint8_t> bits) {
    const unsigned width = bits_per_cell(order);
    switch (order) {
        case ConstellationOrder::Bpsk:
            for (std::size_t k = 0; k < cells.size(); ++k) bits[k] = cells[k].re < 0.0f;
            return;
        case ConstellationOrder::Qpsk:
            for (std::size_t k = 0; k < cells.size(); ++k) {
                bits[2 * k] = cells[k].re < 0.0f;
                bits[2 * k + 1] = cells[k].im < 0.0f;
            }
            return;
        default: {
            const QamThresholds table(qam_order_of(order));
            with_bits_per_axis(qam_order_of(order), [&](auto axis) {
                for (std::size_t k = 0; k < cells.size(); ++k) slice_qam<axis>(table, cells[k], &bits[width * k]);
            });
            return;
        }
    }
}

}  // namespace kavro
