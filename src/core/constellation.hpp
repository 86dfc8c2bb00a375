#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <type_traits>

#include "core/complex.hpp"

// Constellation mapping and hard decision shared by the single-carrier modems, the OFDM layer
// and the frame link. BPSK and QPSK map bit 0 to the positive level; square QAM reads the first
// half of a symbol's bits (most significant first) as the I axis index and the second half as
// the Q index, and index g selects level 2·G⁻¹(g) - (L - 1) times the unit-energy scale.

namespace kavro {

enum class ConstellationOrder : std::uint8_t { Bpsk = 0, Qpsk = 1, Qam16 = 2, Qam64 = 3, Qam256 = 4 };

inline constexpr std::array<unsigned, 5> bits_per_cell_table{1, 2, 4, 6, 8};

constexpr unsigned bits_per_cell(ConstellationOrder order) {
    return bits_per_cell_table[static_cast<std::size_t>(order)];
}

inline constexpr float qpsk_level = 0.707106769f;  // nearest float to 1/sqrt(2)

// Square QAM sizes by order tag: 0 = 16-QAM, 1 = 64-QAM, 2 = 256-QAM.
enum class QamOrder : std::uint32_t { Qam16 = 0, Qam64 = 1, Qam256 = 2 };

// An order other than 16, 64 or 256, refused to the modulator or demodulator that asked for it.
enum class QamOrderError : std::uint8_t { Modulator, Demodulator };

std::string error_message(QamOrderError error);

// 16, 64 or 256 to the order tag; anything else is refused as `on_error`.
std::expected<QamOrder, QamOrderError> parse_qam_order(std::uint32_t order, QamOrderError on_error);

constexpr unsigned qam_bits_per_symbol(QamOrder order) { return 2 * static_cast<unsigned>(order) + 4; }
constexpr unsigned qam_bits_per_axis(QamOrder order) { return qam_bits_per_symbol(order) / 2; }
constexpr unsigned qam_levels_per_axis(QamOrder order) { return 1u << qam_bits_per_axis(order); }

inline constexpr std::array<float, 3> qam_scale{0.316227764f, 0.154303357f, 0.0766965002f};

// Axis levels indexed by the Gray axis index g; entries beyond the order's L are 0.
struct QamGrayLevels {
    std::array<float, 16> levels{};

    explicit constexpr QamGrayLevels(QamOrder order) {
        const unsigned count = qam_levels_per_axis(order);
        for (unsigned k = 0; k < count; ++k) {
            const unsigned g = k ^ (k >> 1);  // level rank k sits at Gray index g
            const int integer = 2 * static_cast<int>(k) - static_cast<int>(count - 1);
            levels[g] = static_cast<float>(integer) * qam_scale[static_cast<unsigned>(order)];
        }
    }
};

// Ascending midpoints between adjacent levels; entries beyond the order's L - 1 are 0.
struct QamThresholds {
    std::array<float, 15> thresholds{};

    explicit constexpr QamThresholds(QamOrder order) {
        const int count = static_cast<int>(qam_levels_per_axis(order));
        for (int i = 0; i + 1 < count; ++i) {
            const int integer = 2 * i - (count - 2);
            thresholds[static_cast<std::size_t>(i)] = static_cast<float>(integer) * qam_scale[static_cast<unsigned>(order)];
        }
    }
};

// Sign of a bit's level, +1 for 0 and -1 for 1, computed without a branch (random bits would
// defeat the branch predictor); multiplying a level by it is exact.
constexpr float bit_sign(std::uint8_t bit) { return 1.0f - 2.0f * static_cast<float>(bit & 1u); }

constexpr Complex map_bpsk(std::uint8_t bit) { return {bit_sign(bit), 0.0f}; }

constexpr Complex map_qpsk(std::uint8_t bit_i, std::uint8_t bit_q) {
    return {qpsk_level * bit_sign(bit_i), qpsk_level * bit_sign(bit_q)};
}

// Reads BitsPerAxis bits (bit 0 of each byte), most significant first.
template <unsigned BitsPerAxis>
constexpr unsigned read_axis_index(const std::uint8_t* bits) {
    unsigned index = 0;
    for (unsigned i = 0; i < BitsPerAxis; ++i) index = (index << 1) | (bits[i] & 1u);
    return index;
}

template <unsigned BitsPerAxis>
constexpr Complex map_qam(const QamGrayLevels& table, const std::uint8_t* bits) {
    return {table.levels[read_axis_index<BitsPerAxis>(bits)], table.levels[read_axis_index<BitsPerAxis>(bits + BitsPerAxis)]};
}

// Rank of the level nearest v: the number of thresholds strictly below v (NaN compares false:
// rank 0), found by a branch-free binary search over the ascending thresholds.
template <unsigned BitsPerAxis>
constexpr unsigned qam_rank(const QamThresholds& table, float v) {
    unsigned k = 0;
    for (unsigned step = 1u << (BitsPerAxis - 1); step > 0; step >>= 1)
        k += static_cast<unsigned>(v > table.thresholds[k + step - 1]) * step;
    return k;
}

// The Gray-coded axis bits of each rank, one byte per bit, most significant first.
template <unsigned BitsPerAxis>
inline constexpr auto axis_bits_of_rank = [] {
    std::array<std::array<std::uint8_t, BitsPerAxis>, (1u << BitsPerAxis)> table{};
    for (unsigned rank = 0; rank < table.size(); ++rank) {
        const unsigned g = rank ^ (rank >> 1);
        for (unsigned i = 0; i < BitsPerAxis; ++i) table[rank][i] = static_cast<std::uint8_t>((g >> (BitsPerAxis - 1 - i)) & 1u);
    }
    return table;
}();

template <unsigned BitsPerAxis>
constexpr void write_axis_bits(unsigned rank, std::uint8_t* out) {
    const auto& bits = axis_bits_of_rank<BitsPerAxis>[rank];
    std::copy(bits.begin(), bits.end(), out);
}

template <unsigned BitsPerAxis>
constexpr void slice_qam(const QamThresholds& table, Complex x, std::uint8_t* out) {
    write_axis_bits<BitsPerAxis>(qam_rank<BitsPerAxis>(table, x.re), out);
    write_axis_bits<BitsPerAxis>(qam_rank<BitsPerAxis>(table, x.im), out + BitsPerAxis);
}

// Calls body with the bits per axis of a QAM order as a compile-time constant.
template <class Body>
constexpr decltype(auto) with_bits_per_axis(QamOrder order, Body&& body) {
    switch (order) {
        case QamOrder::Qam16: return body(std::integral_constant<unsigned, 2>{});
        case QamOrder::Qam64: return body(std::integral_constant<unsigned, 3>{});
        case QamOrder::Qam256: break;
    }
    return body(std::integral_constant<unsigned, 4>{});
}

// Maps cells.size() cells from the leading bits (bits_per_cell(order) bits each).
void map_cells(ConstellationOrder order, std::span<const std::uint8_t> bits, std::span<Complex> cells);

// Hard-decides each cell into bits_per_cell(order) bits.
void slice_cells(ConstellationOrder order, std::span<const Complex> cells, std::span<std::uint8_t> bits);

}  // namespace kavro
