#pragma once

#include <cstdint>
#include <span>

// CRC-14 of the FT8/FT4 protected message: generator 0x2757, register starting at 0, most
// significant bit first, no reflection or final inversion, over 82 bits (the 77 message bits and
// five zero bits). The CRC occupies bits 77-90 of the 12-byte word.

namespace kavro::codec {

inline constexpr std::uint16_t crc14_polynomial = 0x2757;

// CRC-14 of bits 0-81 of a 12-byte word whose bits 77-95 are zero. Fed a byte at a time into bits
// 6-13 of the register; the byte fed at bit 80 contributes its two top bits only.
constexpr std::uint16_t crc14(std::span<const std::uint8_t, 12> word) {
    std::uint32_t r = 0;
    std::size_t j = 0;
    for (unsigned i = 0; i < 82; ++i) {
        if (i % 8 == 0) r ^= static_cast<std::uint32_t>(word[j++]) << 6;
        r = (r & 0x2000u) != 0 ? (r << 1) ^ crc14_polynomial : r << 1;
    }
    return static_cast<std::uint16_t>(r & 0x3FFFu);
}

// Writes the CRC into bits 77-90: the low three bits of byte 9, byte 10 and the top three bits of
// byte 11.
constexpr void put_crc14(std::span<std::uint8_t, 12> word, std::uint16_t crc) {
    word[9] = static_cast<std::uint8_t>((word[9] & 0xF8u) | ((crc >> 11) & 0x07u));
    word[10] = static_cast<std::uint8_t>(crc >> 3);
    word[11] = static_cast<std::uint8_t>((word[11] & 0x1Fu) | ((crc & 0x07u) << 5));
}

// The CRC held in bits 77-90.
constexpr std::uint16_t get_crc14(std::span<const std::uint8_t, 12> word) {
    return static_cast<std::uint16_t>(((word[9] & 0x07u) << 11) | (word[10] << 3) | (word[11] >> 5));
}

}  // namespace kavro::codec
