#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kavro::fec {

// Systematic BCH parity by polynomial division, eight message bits per table step. It also
// recognises error-free words cheaply: a word is a codeword exactly when its parity bits equal the
// parity of its message bits.
class BchParity {
public:
    // k message bits; the generator bits highest power first (deg + 1 entries, degree 8..255).
    BchParity(std::size_t k, std::span<const std::uint8_t> generator);

    std::size_t n() const { return k_ + deg_; }
    std::size_t k() const { return k_; }

    // Parity (deg bits) of exactly k message bits, one bit per byte.
    void parity(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const;

    // Whether exactly n bits form a codeword.
    bool is_codeword(std::span<const std::uint8_t> word) const;

private:
    static constexpr std::size_t max_words = 4;  // a generator degree below 256
    using Register = std::array<std::uint64_t, max_words>;

    // The remainder of m(x) x^deg modulo g(x), left-aligned: x^(deg-1) in the top bit of word 0.
    Register remainder(std::span<const std::uint8_t> message) const;
    std::uint8_t parity_bit(const Register& reg, std::size_t i) const {
        return static_cast<std::uint8_t>((reg[i / 64] >> (63 - i % 64)) & 1u);
    }

    std::size_t k_;
    std::size_t deg_;
    std::size_t words_;                // 64-bit words of the register in use
    Register gen_{};                   // g(x) without x^deg, left-aligned
    std::vector<std::uint64_t> table_;  // 256 x words_: remainder of b(x) x^deg, left-aligned
};

}  // namespace kavro::fec
