#include "codec/varicode.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "codec/varicode_table.hpp"

namespace kavro::codec {

namespace {

constexpr std::size_t gap_bits = 2;

std::size_t checked_add(std::size_t a, std::size_t b) {
    if (b > std::numeric_limits<std::size_t>::max() - a) throw std::length_error("Varicode bit count overflows");
    return a + b;
}

const VaricodeEntry& entry_of(std::uint8_t b) { return varicode_codes[b < 0x80 ? b : 0]; }

}  // namespace

// Geometric growth keeps repeated small pushes amortised constant per bit; a failing allocation
// leaves the queue as it was.
void VaricodeEncoder::reserve_more(std::size_t extra) {
    const std::size_t total = checked_add(bits_.size(), extra);
    if (total > bits_.capacity()) bits_.reserve(std::max(total, 2 * bits_.capacity()));
}

void VaricodeEncoder::push_preamble(std::size_t n) {
    reserve_more(n);
    bits_.resize(bits_.size() + n, 0);
    at_boundary_ = true;
}

void VaricodeEncoder::push_byte(std::uint8_t b) {
    const VaricodeEntry& e = entry_of(b);
    if (!at_boundary_) bits_.insert(bits_.end(), gap_bits, 0);
    at_boundary_ = false;
    for (unsigned i = e.length; i-- > 0;) bits_.push_back(static_cast<std::uint8_t>((e.code >> i) & 1u));
}

void VaricodeEncoder::push_postamble(std::size_t n) {
    const std::size_t gap = at_boundary_ ? 0 : gap_bits;
    reserve_more(checked_add(gap, n));
    bits_.resize(bits_.size() + gap, 0);
    bits_.resize(bits_.size() + n, 1);
}

std::vector<std::uint8_t> VaricodeEncoder::drain_bits() { return std::exchange(bits_, {}); }

std::size_t VaricodeEncoder::text_bit_count(std::size_t preamble, std::span<const std::uint8_t> text,
                                            std::size_t postamble) {
    std::size_t total = preamble;
    for (const std::uint8_t b : text) total = checked_add(total, entry_of(b).length);
    // Every character after the first, and a postamble after any character, follows a gap.
    if (!text.empty()) total = checked_add(total, gap_bits * text.size());
    return checked_add(total, postamble);
}

void VaricodeDecoder::push_bit(std::uint8_t bit) {
    const bool zero = bit == 0;
    if (zero && bit_count_ == 0) return;
    if (zero && prev_zero_) {
        if (bit_count_ > 1) {
            const std::uint16_t code = static_cast<std::uint16_t>(acc_ >> 1);
            const unsigned length = bit_count_ - 1u;
            for (std::size_t v = 0; v < varicode_codes.size(); ++v) {
                if (varicode_codes[v].code == code && varicode_codes[v].length == length) {
                    decoded_.push_back(static_cast<std::uint8_t>(v));
                    break;
                }
            }
        }
        acc_ = 0;
        prev_zero_ = false;
        bit_count_ = 0;
        return;
    }
    acc_ = static_cast<std::uint16_t>((acc_ << 1) | (bit & 1u));
    if (bit_count_ < 11) ++bit_count_;
    prev_zero_ = zero;
}

std::vector<std::uint8_t> VaricodeDecoder::pop_bytes() { return std::exchange(decoded_, {}); }

}  // namespace kavro::codec
