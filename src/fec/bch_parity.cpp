#include "fec/bch_parity.hpp"

#include <algorithm>
#include <string>

#include "core/internal_fault.hpp"

namespace kavro::fec {

namespace {

// Shifts a left-aligned multi-word register left by `bits` (1..8), returning the bits shifted out.
template <std::size_t Bits>
unsigned shift_left(std::uint64_t* reg, std::size_t words) {
    const unsigned out = static_cast<unsigned>(reg[0] >> (64 - Bits));
    for (std::size_t w = 0; w + 1 < words; ++w) reg[w] = (reg[w] << Bits) | (reg[w + 1] >> (64 - Bits));
    reg[words - 1] <<= Bits;
    return out;
}

}  // namespace

BchParity::BchParity(std::size_t k, std::span<const std::uint8_t> gen)
    : k_(k), deg_(gen.size() - 1), words_((gen.size() + 62) / 64) {
    if (deg_ < 8 || words_ > max_words) internal_fault("BCH generator degree out of range: " + std::to_string(deg_));
    for (std::size_t i = 0; i < deg_; ++i) {
        if (gen[i + 1] & 1) gen_[i / 64] |= std::uint64_t{1} << (63 - i % 64);
    }
    // Bit-serial division of each byte value followed by deg zero bits.
    table_.resize(256 * words_);
    for (unsigned b = 0; b < 256; ++b) {
        Register reg{};
        reg[0] = static_cast<std::uint64_t>(b) << 56;
        for (int step = 0; step < 8; ++step) {
            const unsigned top = shift_left<1>(reg.data(), words_);
            if (top) {
                for (std::size_t w = 0; w < words_; ++w) reg[w] ^= gen_[w];
            }
        }
        std::copy_n(reg.begin(), words_, table_.begin() + static_cast<std::ptrdiff_t>(b * words_));
    }
}

BchParity::Register BchParity::remainder(std::span<const std::uint8_t> message) const {
    Register reg{};
    std::size_t i = 0;
    for (; i + 8 <= message.size(); i += 8) {
        unsigned byte = 0;
        for (std::size_t j = 0; j < 8; ++j) byte = (byte << 1) | (message[i + j] & 1u);
        const unsigned index = shift_left<8>(reg.data(), words_) ^ byte;
        const std::uint64_t* row = table_.data() + index * words_;
        for (std::size_t w = 0; w < words_; ++w) reg[w] ^= row[w];
    }
    for (; i < message.size(); ++i) {
        const unsigned top = shift_left<1>(reg.data(), words_) ^ (message[i] & 1u);
        if (top) {
            for (std::size_t w = 0; w < words_; ++w) reg[w] ^= gen_[w];
        }
    }
    return reg;
}

void BchParity::parity(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const {
    if (message.size() != k_) internal_fault("BCH message must be exactly k bits");
    if (parity.size() != deg_) internal_fault("BCH parity must be exactly deg bits");
    const Register reg = remainder(message);
    for (std::size_t i = 0; i < deg_; ++i) parity[i] = parity_bit(reg, i);
}

bool BchParity::is_codeword(std::span<const std::uint8_t> word) const {
    if (word.size() != n()) internal_fault("BCH word must be exactly n bits");
    const Register reg = remainder(word.first(k_));
    for (std::size_t i = 0; i < deg_; ++i) {
        if (parity_bit(reg, i) != (word[k_ + i] & 1u)) return false;
    }
    return true;
}

}  // namespace kavro::fec
