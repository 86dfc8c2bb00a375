#include "demodulate/qam.hpp"

#include <cstring>

#include "core/lanes.hpp"

namespace kavro {

namespace {

constexpr std::size_t lane_count = 8;
using L = Lanes<lane_count>;
using Vf = L::Floats;
using Vi = L::Ints;

// The rank of each lane's nearest level: the number of thresholds strictly below it (NaN: 0),
// as the scalar binary search counts them.
template <unsigned Axis>
[[gnu::always_inline]] inline Vi ranks(const QamThresholds& table, Vf v) {
    Vi rank{};
    for (unsigned i = 0; i + 1 < (1u << Axis); ++i) rank -= v > table.thresholds[i];  // true lanes are -1
    return rank;
}

// The Gray-coded bits of each lane's rank, one byte per bit, most significant first, as the low
// Axis bytes of a 32-bit word (bytes in memory order on a little-endian machine).
template <unsigned Axis>
[[gnu::always_inline]] inline Vi axis_bytes(Vi rank) {
    const Vi gray = rank ^ (rank >> 1);
    Vi bytes{};
    for (unsigned i = 0; i < Axis; ++i) bytes |= ((gray >> (Axis - 1 - i)) & 1) << (8 * i);
    return bytes;
}

// Decides lane_count cells: deinterleaves them, applies the gain and writes 2 Axis bytes per cell.
template <unsigned Axis>
[[gnu::always_inline]] inline void slice_lanes(const QamThresholds& table, float gain, const Complex* iq,
                                               std::uint8_t* out) {
    const float* samples = reinterpret_cast<const float*>(iq);
    const Vf a = L::load(samples), b = L::load(samples + lane_count);
    const Vf re = __builtin_shuffle(a, b, Vi{0, 2, 4, 6, 8, 10, 12, 14}) * gain;
    const Vf im = __builtin_shuffle(a, b, Vi{1, 3, 5, 7, 9, 11, 13, 15}) * gain;
    const Vi first = axis_bytes<Axis>(ranks<Axis>(table, re));
    const Vi second = axis_bytes<Axis>(ranks<Axis>(table, im));
    if constexpr (Axis == 2) {
        const Vi words = first | (second << 16);
        std::memcpy(out, &words, sizeof words);
    } else if constexpr (Axis == 4) {
        const Vi low = __builtin_shuffle(first, second, Vi{0, 8, 1, 9, 2, 10, 3, 11});
        const Vi high = __builtin_shuffle(first, second, Vi{4, 12, 5, 13, 6, 14, 7, 15});
        std::memcpy(out, &low, sizeof low);
        std::memcpy(out + sizeof low, &high, sizeof high);
    } else {
        // Six bytes a cell: each eight-byte store overlaps the next cell, written after it.
        std::uint8_t lanes[lane_count * 8 + 2];
        for (std::size_t k = 0; k < lane_count; ++k) {
            const std::uint64_t cell = static_cast<std::uint32_t>(first[k]) |
                                       static_cast<std::uint64_t>(static_cast<std::uint32_t>(second[k])) << 24;
            std::memcpy(lanes + 6 * k, &cell, sizeof cell);
        }
        std::memcpy(out, lanes, lane_count * 6);
    }
}

template <unsigned Axis>
[[gnu::always_inline]] inline void slice_all(const QamThresholds& table, float gain, std::span<const Complex> iq,
                                             std::uint8_t* out) {
    constexpr unsigned width = 2 * Axis;
    std::size_t k = 0;
    for (; k + lane_count <= iq.size(); k += lane_count) slice_lanes<Axis>(table, gain, iq.data() + k, out + width * k);
    for (; k < iq.size(); ++k) slice_qam<Axis>(table, iq[k] * gain, out + width * k);
}

}  // namespace

std::expected<QamDemod, QamOrderError> QamDemod::create(std::uint32_t order, float gain) {
    const auto tag = parse_qam_order(order, QamOrderError::Demodulator);
    if (!tag) return std::unexpected(tag.error());
    return QamDemod(*tag, gain);
}

std::vector<std::uint8_t> QamDemod::process_at(std::span<const Complex> iq, SimdLevel level) {
    return with_bits_per_axis(order_, [&](auto axis) {
        constexpr unsigned width = 2 * axis;
        std::vector<std::uint8_t> bits(width * iq.size());
        with_simd_level(level, [&] [[gnu::always_inline]] { slice_all<axis>(table_, gain_, iq, bits.data()); });
        return bits;
    });
}

}  // namespace kavro
