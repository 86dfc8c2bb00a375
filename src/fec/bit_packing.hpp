#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Conversions between byte vectors and bit vectors (one bit per element, 0 or 1). Packing is most
// significant bit first: the first bit of each group of eight is bit 7 of its byte. Only bit 0 of
// each bit-vector element is read when packing.

namespace kavro::fec {

// The bit count must be a whole number of bytes (internal fault otherwise).
std::vector<std::uint8_t> bits_to_bytes(std::span<const std::uint8_t> bits);

// Eight elements per byte: bits 7, 6, ..., 0.
std::vector<std::uint8_t> bytes_to_bits(std::span<const std::uint8_t> bytes);

// Packs any bit count; the last byte is padded with zero bits.
std::vector<std::uint8_t> pack_bits_padded(std::span<const std::uint8_t> bits);

// Packs all of `bits` into the first (bits.size() + 7) / 8 bytes of `out`, which must hold them;
// the last byte is padded with zero bits. For callers that keep their byte buffer.
void pack_bits_into(std::span<const std::uint8_t> bits, std::span<std::uint8_t> out);

}  // namespace kavro::fec
