#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Varicode, PSK31's variable-length character code: every code starts and ends with 1 and holds
// no two consecutive zeros, so two zeros in a row end a character.

namespace kavro::codec {

// Turns bytes into a queue of bits (one per byte, first sent first). Between characters it sends
// the two-zero gap, except straight after construction or a preamble. Growing the queue beyond
// what can be held throws std::length_error or std::bad_alloc before anything is queued.
class VaricodeEncoder {
public:
    // n zero bits; the next character or postamble follows without a gap.
    void push_preamble(std::size_t n);
    // One character; bytes 0x80..0xFF are sent as NUL's code.
    void push_byte(std::uint8_t b);
    // The gap (unless at a boundary) and n one bits; the boundary flag stays as it was.
    void push_postamble(std::size_t n);

    std::vector<std::uint8_t> drain_bits();
    bool is_empty() const { return bits_.empty(); }

    // Bits a preamble, the given text and a postamble add to a fresh encoder, or throws
    // std::length_error when the count does not fit a size.
    static std::size_t text_bit_count(std::size_t preamble, std::span<const std::uint8_t> text, std::size_t postamble);

    // Room for `extra` more bits, or std::length_error when the total does not fit a size.
    void reserve_more(std::size_t extra);

private:
    std::vector<std::uint8_t> bits_;
    bool at_boundary_ = true;
};

// Turns received bits back into character values. A run of two or more zeros ends the character
// in progress; zeros arriving while no character is in progress are ignored, so the next one
// starts at its first 1. A code matching no table entry (or longer than 10 bits) is dropped.
class VaricodeDecoder {
public:
    // A byte counts as a zero only when it is 0; any other byte shifts in its lowest bit.
    void push_bit(std::uint8_t bit);
    void push_bits(std::span<const std::uint8_t> bits) {
        for (const std::uint8_t bit : bits) push_bit(bit);
    }
    // Removes and returns the decoded values; the character in progress stays.
    std::vector<std::uint8_t> pop_bytes();

private:
    std::vector<std::uint8_t> decoded_;
    std::uint16_t acc_ = 0;
    bool prev_zero_ = false;
    std::uint8_t bit_count_ = 0;
};

}  // namespace kavro::codec
