#include "fec/bit_packing.hpp"

#include <array>
#include <cstring>
#include <string>

#include "core/internal_fault.hpp"

namespace kavro::fec {

namespace {

// Eight bit elements, first at the lowest address, as one little-endian word.
inline std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t word = 0;
    for (int k = 7; k >= 0; --k) word = (word << 8) | p[k];
    return word;
}

// Gathers bit 0 of the eight bytes of `word` (first byte lowest) into one byte, first bit most
// significant: each masked bit lands in the top byte through exactly one partial product.
inline std::uint8_t gather_msb_first(std::uint64_t word) {
    return static_cast<std::uint8_t>(((word & 0x0101010101010101u) * 0x8040201008040201u) >> 56);
}

// Row v holds the eight bit elements of byte v, most significant bit first in memory order.
constexpr std::array<std::array<std::uint8_t, 8>, 256> make_unpack_table() {
    std::array<std::array<std::uint8_t, 8>, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        for (unsigned m = 0; m < 8; ++m) table[v][m] = static_cast<std::uint8_t>((v >> (7 - m)) & 1u);
    }
    return table;
}

constexpr auto unpack_table = make_unpack_table();

}  // namespace

void pack_bits_into(std::span<const std::uint8_t> bits, std::span<std::uint8_t> out) {
    const std::size_t whole = bits.size() / 8;
    for (std::size_t k = 0; k < whole; ++k) out[k] = gather_msb_first(load_le64(bits.data() + 8 * k));
    const std::size_t rest = bits.size() - 8 * whole;
    if (rest != 0) {
        unsigned byte = 0;
        for (std::size_t m = 0; m < rest; ++m) byte |= (bits[8 * whole + m] & 1u) << (7 - m);
        out[whole] = static_cast<std::uint8_t>(byte);
    }
}

std::vector<std::uint8_t> bits_to_bytes(std::span<const std::uint8_t> bits) {
    if (bits.size() % 8 != 0) {
        internal_fault("bit count must be a whole number of bytes: " + std::to_string(bits.size()));
    }
    std::vector<std::uint8_t> out(bits.size() / 8);
    pack_bits_into(bits, out);
    return out;
}

std::vector<std::uint8_t> bytes_to_bits(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> bits(8 * bytes.size());
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        std::memcpy(bits.data() + 8 * k, unpack_table[bytes[k]].data(), 8);
    }
    return bits;
}

std::vector<std::uint8_t> pack_bits_padded(std::span<const std::uint8_t> bits) {
    std::vector<std::uint8_t> out((bits.size() + 7) / 8);
    pack_bits_into(bits, out);
    return out;
}

}  // namespace kavro::fec
