#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fec/bch_parity.hpp"
#include "fec/gf.hpp"

// Narrow-sense primitive binary BCH codes of length 255 over GF(2^8), shortened to n bits.
// Bits are bytes holding 0 or 1. Codeword layout: the k message bits (bit 0 is the coefficient of
// x^(n-1)), then deg parity bits; bit i carries x^(254 - i) of the full-length word.

namespace kavro::fec {

struct BchError {
    enum class Kind : std::uint8_t { DesignTooLarge, BadLength, Uncorrectable };
    Kind kind = Kind::DesignTooLarge;
    std::size_t value = 0;  // t, n or a count, by kind

    static BchError design_too_large(std::size_t t) { return {Kind::DesignTooLarge, t}; }
    static BchError bad_length(std::size_t n) { return {Kind::BadLength, n}; }
    static BchError uncorrectable(std::size_t count) { return {Kind::Uncorrectable, count}; }
    friend bool operator==(const BchError&, const BchError&) = default;
};

// The debug form, e.g. "DesignTooLarge(128)" or "BadLength(260)".
std::string error_message(const BchError& error);

struct BchDecoded {
    std::vector<std::uint8_t> message;  // k bits
    std::size_t flipped = 0;            // number of corrected bits
};

class Bch {
public:
    // The code of design capability t shortened to n bits: BadLength(n) for n >= 256 or
    // n <= deg; DesignTooLarge(t) for t = 0 or t > 127 (the generator would reach degree 255).
    static std::expected<Bch, BchError> shortened(std::size_t n, std::size_t t);

    std::size_t n() const { return n_; }
    std::size_t k() const { return n_ - deg(); }
    std::size_t t() const { return t_; }
    std::size_t deg() const { return gen_.size() - 1; }
    // Generator bits, highest power first; deg + 1 entries, first and last 1.
    std::span<const std::uint8_t> generator() const { return gen_; }

    // Parity of exactly k message bits (deg bits); the caller appends it to the message.
    std::vector<std::uint8_t> encode(std::span<const std::uint8_t> message) const;
    void encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const;

    // Hard-decision decoding of exactly n bits: the k message bits and the number of flipped
    // bits, or Uncorrectable.
    std::expected<BchDecoded, BchError> decode(std::span<const std::uint8_t> word) const;
    // As decode, correcting the n-bit word in place; a word that fails is left as received.
    std::expected<std::size_t, BchError> decode_in_place(std::span<std::uint8_t> word) const;

private:
    Bch(const Gf256& gf, std::size_t n, std::size_t t, std::vector<std::uint8_t> gen)
        : gf_(&gf), n_(n), t_(t), gen_(std::move(gen)), parity_(n_ - deg(), gen_) {}

    const Gf256* gf_;
    std::size_t n_;
    std::size_t t_;
    std::vector<std::uint8_t> gen_;
    BchParity parity_;
};

}  // namespace kavro::fec
