#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fec/gf.hpp"

// Reed-Solomon codes over GF(256) with first consecutive root alpha^0, shortened to n <= 255
// bytes. Codeword layout: the k message bytes, then the n_parity parity bytes; byte i carries the
// coefficient of x^(254 - i) of a 255-byte word whose unused leading positions are zero.

namespace kavro::fec {

struct RsError {
    enum class Kind : std::uint8_t { BadLength, Uncorrectable };
    Kind kind = Kind::BadLength;
    std::size_t n = 0;         // BadLength
    std::size_t n_parity = 0;  // BadLength
    std::size_t count = 0;     // Uncorrectable

    static RsError bad_length(std::size_t n, std::size_t n_parity) {
        return {Kind::BadLength, n, n_parity, 0};
    }
    static RsError uncorrectable(std::size_t count) { return {Kind::Uncorrectable, 0, 0, count}; }
    friend bool operator==(const RsError&, const RsError&) = default;
};

// The debug form, e.g. "BadLength(300, 16)" or "Uncorrectable(9)".
std::string error_message(const RsError& error);

struct RsDecoded {
    std::vector<std::uint8_t> message;  // k bytes
    std::size_t corrected = 0;          // number of corrected bytes
};

class ReedSolomon {
public:
    // 1 <= n <= 255 and n_parity < n. n_parity 0 is a code without parity: encoding yields no
    // bytes and every word decodes unchanged.
    static std::expected<ReedSolomon, RsError> construct(std::size_t n, std::size_t n_parity);

    std::size_t n() const { return n_; }
    std::size_t k() const { return n_ - n_parity_; }
    std::size_t n_parity() const { return n_parity_; }
    // Generator coefficients, lowest power first; n_parity + 1 entries, the last one 1.
    std::span<const std::uint8_t> generator() const { return gen_; }

    // Parity of exactly k message bytes (n_parity bytes); the caller appends it to the message.
    std::vector<std::uint8_t> encode(std::span<const std::uint8_t> message) const;
    void encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const;

    // Hard-decision decoding of exactly n bytes: the k message bytes and the number of corrected
    // bytes, or Uncorrectable.
    std::expected<RsDecoded, RsError> decode(std::span<const std::uint8_t> word) const;
    // As decode, correcting the n-byte word in place; a word that fails is left as received.
    std::expected<std::size_t, RsError> decode_in_place(std::span<std::uint8_t> word) const;

private:
    ReedSolomon(const Gf256& gf, std::size_t n, std::size_t n_parity);
    void syndromes(std::span<const std::uint8_t> word, std::uint8_t* out) const;
    // Adds the error value at each root (error exponent) to the word and to its syndromes; true
    // when every syndrome ends at zero, else the word is restored and false.
    bool correct(std::span<std::uint8_t> word, std::span<std::uint8_t> synd, std::span<const std::uint8_t> omega,
                 std::span<const std::uint8_t> lambda, std::span<const std::size_t> roots) const;

    const Gf256* gf_;
    std::size_t n_;
    std::size_t n_parity_;
    std::vector<std::uint8_t> gen_;
    // log of gen[n_parity - 1 - j] for the encoder's register stage j, 255 for a zero coefficient.
    std::vector<std::uint16_t> gen_log_;
    // n_parity rows of 256: row j holds x * alpha^j, the Horner step of syndrome j.
    std::vector<std::uint8_t> syndrome_step_;
};

}  // namespace kavro::fec
