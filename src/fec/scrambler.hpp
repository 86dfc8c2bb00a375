#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "fec/frame.hpp"

// Additive (Fibonacci) LFSR scrambler. The register's bit 0 is the output end: each step emits
// register bit 0 as the keystream bit, then shifts right and feeds the parity of
// (register AND poly) in at bit width-1.

namespace kavro::fec {

enum class LfsrError : std::uint8_t { WidthOutOfRange, TapsTooWide };

std::string error_message(const LfsrError& error);

class PnScrambler {
public:
    // Width must lie in 2..32 (checked first) and the taps must have no bit at or above it. The
    // seed is reduced to its low `width` bits; a seed that is then 0 becomes 1.
    static std::expected<PnScrambler, LfsrError> create(std::uint32_t poly, std::uint32_t width,
                                                        std::uint32_t seed);

    // XORs the keystream into the bytes, each byte least significant bit first. Every call starts
    // from the seed, so scrambling twice restores the data.
    void scramble(std::span<std::uint8_t> bytes) const;

    // The keystream in coded-bit order: the keystream of ceil(n/8) zero bytes unpacked most
    // significant bit first, first n bits kept. Bit i of a bit vector that is packed, scrambled
    // and unpacked is XORed with element i.
    void keystream_bits(std::span<std::uint8_t> out) const;

    // XORs the coded-bit keystream into a bit vector (bit 0 of each element).
    void scramble_bits(std::span<std::uint8_t> bits) const;

    // Negates every soft value whose coded-bit keystream bit is 1: the soft form of scramble_bits.
    void flip_llr_signs(std::span<float> llrs) const;

    std::uint32_t poly() const { return poly_; }
    std::uint32_t width() const { return width_; }
    std::uint32_t state() const { return state_; }

private:
    PnScrambler(std::uint32_t poly, std::uint32_t width, std::uint32_t state)
        : poly_(poly), width_(width), state_(state) {}

    // Eight keystream bits from `reg`, keystream step j in byte bit j; advances `reg`.
    std::uint8_t next_key_byte(std::uint32_t& reg) const;

    std::uint32_t poly_;
    std::uint32_t width_;
    std::uint32_t state_;
};

// Applies a scrambler setting to a byte buffer in place; the same call descrambles. Lfsr takes its
// Fixed seed, or `per_frame_seed` for PerFrame, and restarts from it on every call; DvbT runs a
// fresh energy-dispersal register over the whole buffer. An LFSR setting that PnScrambler::create
// refuses is an internal fault carrying that error's message.
void scramble_bytes(const ScramblerKind& kind, std::uint32_t per_frame_seed, std::span<std::uint8_t> bytes);

// The scrambler on coded bits (after the inner code): each bit is XORed with the coded-bit
// keystream (PnScrambler::keystream_bits). Only Lfsr acts here; None and DvbT leave the bits as
// they are.
void scramble_coded_bits(const ScramblerKind& kind, std::uint32_t per_frame_seed,
                         std::span<std::uint8_t> bits);

// Its receive-side counterpart on soft values: negates every value whose keystream bit is 1.
void descramble_llrs(const ScramblerKind& kind, std::uint32_t per_frame_seed, std::span<float> llrs);

}  // namespace kavro::fec
