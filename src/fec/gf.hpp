#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Arithmetic over GF(2^8) with field polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D) and primitive
// element alpha = 2. Every algebraic code of the frame link works in this one field.

namespace kavro::fec {

class Gf256 {
public:
    static constexpr unsigned field_poly = 0x11D;

    // The process-wide tables, built on first use behind a thread-safe one-time initialiser and
    // never freed.
    static const Gf256& shared();

    Gf256(const Gf256&) = delete;
    Gf256& operator=(const Gf256&) = delete;

    // exp[i] = alpha^(i mod 255) for i < 512: the second half repeats the first, so a sum of two
    // logarithms indexes the table without reduction.
    std::uint8_t exp(std::size_t i) const { return exp_[i]; }
    // log[alpha^i] = i; log[0] is 0 and never used as a logarithm.
    std::uint8_t log(std::uint8_t x) const { return log_[x]; }

    std::uint8_t multiply(std::uint8_t a, std::uint8_t b) const {
        if (a == 0 || b == 0) return 0;
        return exp_[static_cast<std::size_t>(log_[a]) + log_[b]];
    }
    // b must not be zero.
    std::uint8_t divide(std::uint8_t a, std::uint8_t b) const {
        if (a == 0) return 0;
        return exp_[static_cast<std::size_t>(log_[a]) + 255 - log_[b]];
    }
    // Raises an internal fault for zero.
    std::uint8_t inverse(std::uint8_t x) const;
    // alpha^e for any non-negative exponent.
    std::uint8_t alpha_pow(std::size_t e) const { return exp_[e % 255]; }

private:
    Gf256();

    std::array<std::uint8_t, 512> exp_{};
    std::array<std::uint8_t, 256> log_{};
};

// Berlekamp-Massey over GF(256): the shortest linear feedback shift register that generates the
// sequence s. Its connection polynomial (lowest power first, lambda[0] = 1) is written to lambda,
// which needs s.size() + 1 entries; coefficients beyond the register length are zero. Returns the
// register length.
std::size_t berlekamp_massey(const Gf256& gf, std::span<const std::uint8_t> s,
                             std::span<std::uint8_t> lambda);

// Index of the highest non-zero coefficient (0 for the zero polynomial).
std::size_t poly_degree(std::span<const std::uint8_t> poly);

}  // namespace kavro::fec
