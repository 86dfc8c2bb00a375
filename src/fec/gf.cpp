#include "fec/gf.hpp"

#include <algorithm>

#include "core/internal_fault.hpp"

namespace kavro::fec {

Gf256::Gf256() {
    unsigned x = 1;
    for (unsigned i = 0; i < 255; ++i) {
        exp_[i] = static_cast<std::uint8_t>(x);
        log_[x] = static_cast<std::uint8_t>(i);
        const bool carry = x >= 128;
        x <<= 1;
        if (carry) x ^= field_poly;
    }
    for (std::size_t j = 0; j <= 256; ++j) exp_[255 + j] = exp_[j];
}

const Gf256& Gf256::shared() {
    // A function-local static is initialised exactly once even under concurrent first calls; the
    // object is deliberately leaked so that no code can observe it destroyed at exit.
    static const Gf256* const instance = new Gf256();
    return *instance;
}

std::uint8_t Gf256::inverse(std::uint8_t x) const {
    if (x == 0) internal_fault("GF(2^8) inverse of zero");
    return exp_[255 - log_[x]];
}

std::size_t berlekamp_massey(const Gf256& gf, std::span<const std::uint8_t> s,
                             std::span<std::uint8_t> lambda) {
    const std::size_t len = s.size() + 1;
    if (lambda.size() < len) internal_fault("Berlekamp-Massey output too short");
    // The working polynomials never exceed s.size() + 1 coefficients; 256 covers every code here.
    std::array<std::uint8_t, 257> prev{};
    std::array<std::uint8_t, 257> temp{};
    if (len > prev.size()) internal_fault("Berlekamp-Massey sequence too long");
    std::fill(lambda.begin(), lambda.begin() + static_cast<std::ptrdiff_t>(len), 0);
    lambda[0] = 1;
    prev[0] = 1;
    std::size_t reg_len = 0;
    std::size_t shift = 1;
    std::uint8_t prev_disc = 1;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint8_t disc = s[i];
        for (std::size_t j = 1; j <= reg_len; ++j) disc ^= gf.multiply(lambda[j], s[i - j]);
        if (disc == 0) {
            ++shift;
            continue;
        }
        const std::uint8_t factor = gf.divide(disc, prev_disc);
        if (2 * reg_len <= i) {
            std::copy_n(lambda.begin(), len, temp.begin());
            for (std::size_t j = 0; j + shift < len; ++j) lambda[j + shift] ^= gf.multiply(factor, prev[j]);
            reg_len = i + 1 - reg_len;
            std::copy_n(temp.begin(), len, prev.begin());
            prev_disc = disc;
            shift = 1;
        } else {
            for (std::size_t j = 0; j + shift < len; ++j) lambda[j + shift] ^= gf.multiply(factor, prev[j]);
            ++shift;
        }
    }
    return reg_len;
}

std::size_t poly_degree(std::span<const std::uint8_t> poly) {
    for (std::size_t i = poly.size(); i > 1; --i)
        if (poly[i - 1] != 0) return i - 1;
    return 0;
}

}  // namespace kavro::fec
