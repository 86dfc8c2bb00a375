#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fec/settings.hpp"

// The two frame check sequences of the frame link.
//
// crc16: CRC-16/CCITT-FALSE (polynomial 0x1021, initial value 0xFFFF, no reflection, no final
// XOR). crc32: the ISO-HDLC CRC-32 of zlib (reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF). On the air a CRC follows the bytes it covers, most significant byte
// first.

namespace kavro::fec {

std::uint16_t crc16(std::span<const std::uint8_t> bytes);
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Bytes a CRC of this kind occupies: 0, 2 or 4.
std::size_t crc_width(CrcKind kind);

// A copy of the bytes with their CRC appended (nothing for CrcKind::None).
std::vector<std::uint8_t> append_crc(CrcKind kind, std::span<const std::uint8_t> bytes);

enum class CrcError : std::uint8_t { ShorterThanCrc };

std::string error_message(const CrcError& error);

struct CrcCheck {
    std::span<const std::uint8_t> payload;  // a view of the checked buffer, the CRC removed
    bool crc_ok;
};

// Splits a received buffer into payload and CRC and compares the CRC with the payload's. For
// CrcKind::None the payload is the whole buffer and crc_ok is true. A buffer shorter than its
// CRC is refused.
std::expected<CrcCheck, CrcError> check_crc(CrcKind kind, std::span<const std::uint8_t> bytes);

}  // namespace kavro::fec
