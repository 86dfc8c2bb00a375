#include "fec/reed_solomon.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "core/internal_fault.hpp"

namespace kavro::fec {

namespace {

constexpr std::uint16_t log_of_zero = 255;

// Up to 127 errors: an error locator of degree at most n_parity / 2.
using Roots = std::array<std::size_t, 128>;

// Chien search over every position of the full-length word: Lambda(alpha^-p) = 0 marks an error
// at exponent p. Writes the exponents ascending to `roots`; false unless there are exactly deg.
bool chien_search(const Gf256& gf, std::span<const std::uint8_t> lambda, std::size_t deg, Roots& roots) {
    // term[j] tracks log(Lambda_j alpha^(-p j)).
    std::array<int, 256> term{};
    for (std::size_t j = 0; j <= deg; ++j) term[j] = lambda[j] == 0 ? -1 : gf.log(lambda[j]);
    std::size_t n_roots = 0;
    for (std::size_t p = 0; p < 255; ++p) {
        std::uint8_t sum = 0;
        for (std::size_t j = 0; j <= deg; ++j) {
            if (term[j] < 0) continue;
            sum ^= gf.exp(static_cast<std::size_t>(term[j]));
            term[j] -= static_cast<int>(j);
            if (term[j] < 0) term[j] += 255;
        }
        if (sum == 0) {
            if (n_roots == deg) return false;
            roots[n_roots++] = p;
        }
    }
    return n_roots == deg;
}

// Omega(x) = S(x) Lambda(x) mod x^n_parity, n_parity = synd.size() = omega.size().
void error_evaluator(const Gf256& gf, std::span<const std::uint8_t> synd, std::span<const std::uint8_t> lambda,
                     std::size_t deg, std::span<std::uint8_t> omega) {
    for (std::size_t i = 0; i < synd.size(); ++i) {
        std::uint8_t acc = 0;
        for (std::size_t j = 0; j <= std::min(i, deg); ++j) acc ^= gf.multiply(synd[i - j], lambda[j]);
        omega[i] = acc;
    }
}

// Forney's error value at x = alpha^p: x Omega(x^-1) / Lambda'(x^-1), or none where Lambda'
// vanishes.
std::optional<std::uint8_t> error_value(const Gf256& gf, std::span<const std::uint8_t> omega,
                                        std::span<const std::uint8_t> lambda, std::size_t deg, std::size_t p) {
    const std::uint8_t x = gf.exp(p);
    const std::uint8_t x_inv = gf.inverse(x);
    std::uint8_t om = 0;
    for (std::size_t i = omega.size(); i-- > 0;) om = gf.multiply(om, x_inv) ^ omega[i];
    // Lambda'(x): odd-index terms moved down one power (even multiples vanish in GF(2^8)).
    std::uint8_t dl = 0;
    for (std::size_t j = deg | 1; j >= 1; j -= 2) {
        dl = gf.multiply(dl, gf.multiply(x_inv, x_inv)) ^ (j <= deg ? lambda[j] : 0);
        if (j == 1) break;
    }
    if (dl == 0) return std::nullopt;
    return gf.divide(gf.multiply(x, om), dl);
}

}  // namespace

std::string error_message(const RsError& error) {
    switch (error.kind) {
    case RsError::Kind::BadLength:
        return "BadLength(" + std::to_string(error.n) + ", " + std::to_string(error.n_parity) + ")";
    case RsError::Kind::Uncorrectable:
        return "Uncorrectable(" + std::to_string(error.count) + ")";
    }
    return "RsError";
}

std::expected<ReedSolomon, RsError> ReedSolomon::construct(std::size_t n, std::size_t n_parity) {
    if (n < 1 || n > 255 || n_parity >= n) return std::unexpected(RsError::bad_length(n, n_parity));
    return ReedSolomon(Gf256::shared(), n, n_parity);
}

ReedSolomon::ReedSolomon(const Gf256& gf, std::size_t n, std::size_t n_parity)
    : gf_(&gf), n_(n), n_parity_(n_parity) {
    // g(x) = product over i < n_parity of (x + alpha^i).
    gen_.assign(1, 1);
    for (std::size_t i = 0; i < n_parity; ++i) {
        const std::uint8_t root = gf.exp(i);
        std::vector<std::uint8_t> next(gen_.size() + 1, 0);
        for (std::size_t j = 0; j < gen_.size(); ++j) {
            next[j + 1] ^= gen_[j];
            next[j] ^= gf.multiply(gen_[j], root);
        }
        gen_ = std::move(next);
    }
    gen_log_.resize(n_parity);
    for (std::size_t j = 0; j < n_parity; ++j) {
        const std::uint8_t c = gen_[n_parity - 1 - j];
        gen_log_[j] = c == 0 ? log_of_zero : gf.log(c);
    }
    syndrome_step_.resize(n_parity * 256);
    for (std::size_t j = 0; j < n_parity; ++j)
        for (unsigned x = 0; x < 256; ++x)
            syndrome_step_[j * 256 + x] = gf.multiply(static_cast<std::uint8_t>(x), gf.exp(j));
}

std::vector<std::uint8_t> ReedSolomon::encode(std::span<const std::uint8_t> message) const {
    std::vector<std::uint8_t> parity(n_parity_);
    encode_into(message, parity);
    return parity;
}

void ReedSolomon::encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const {
    if (message.size() != k()) internal_fault("RS message must be exactly k bytes");
    if (parity.size() != n_parity_) internal_fault("RS parity must be exactly n_parity bytes");
    // A code without parity has no register to run.
    if (n_parity_ == 0) return;
    std::uint8_t* p = parity.data();
    std::fill(parity.begin(), parity.end(), 0);
    const std::size_t last = n_parity_ - 1;
    for (const std::uint8_t m : message) {
        const std::uint8_t f = m ^ p[0];
        if (f == 0) {
            std::copy(p + 1, p + n_parity_, p);
            p[last] = 0;
            continue;
        }
        const std::size_t lf = gf_->log(f);
        for (std::size_t j = 0; j < last; ++j) {
            const std::uint16_t lg = gen_log_[j];
            p[j] = p[j + 1] ^ (lg == log_of_zero ? 0 : gf_->exp(lf + lg));
        }
        const std::uint16_t lg = gen_log_[last];
        p[last] = lg == log_of_zero ? 0 : gf_->exp(lf + lg);
    }
}

void ReedSolomon::syndromes(std::span<const std::uint8_t> word, std::uint8_t* out) const {
    // Horner's rule gives sum r[i] alpha^(j (n-1-i)); one multiplication by alpha^(j (255-n))
    // then weights byte i with alpha^(j (254-i)) as the full-length word does.
    std::array<std::uint8_t, 255> s{};
    const std::uint8_t* step = syndrome_step_.data();
    for (const std::uint8_t r : word)
        for (std::size_t j = 0; j < n_parity_; ++j) s[j] = step[j * 256 + s[j]] ^ r;
    for (std::size_t j = 0; j < n_parity_; ++j)
        out[j] = gf_->multiply(s[j], gf_->alpha_pow(j * (255 - n_)));
}

std::expected<RsDecoded, RsError> ReedSolomon::decode(std::span<const std::uint8_t> word) const {
    if (word.size() != n_) internal_fault("RS word must be exactly n bytes");
    std::array<std::uint8_t, 255> buf{};
    std::copy(word.begin(), word.end(), buf.begin());
    auto result = decode_in_place(std::span<std::uint8_t>(buf.data(), n_));
    if (!result) return std::unexpected(result.error());
    return RsDecoded{std::vector<std::uint8_t>(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(k())),
                     *result};
}

std::expected<std::size_t, RsError> ReedSolomon::decode_in_place(std::span<std::uint8_t> word) const {
    if (word.size() != n_) internal_fault("RS word must be exactly n bytes");
    if (n_parity_ == 0) return 0;
    const Gf256& gf = *gf_;

    std::array<std::uint8_t, 255> synd_store{};
    const std::span<std::uint8_t> synd(synd_store.data(), n_parity_);
    syndromes(word, synd.data());
    if (std::all_of(synd.begin(), synd.end(), [](std::uint8_t s) { return s == 0; })) return 0;
    if (n_parity_ < 2) return std::unexpected(RsError::uncorrectable(0));

    std::array<std::uint8_t, 256> lambda_store{};
    const std::span<std::uint8_t> lambda(lambda_store.data(), n_parity_ + 1);
    berlekamp_massey(gf, synd, lambda);
    const std::size_t deg = poly_degree(lambda);
    if (deg > n_parity_ / 2) return std::unexpected(RsError::uncorrectable(deg));

    Roots roots{};
    if (!chien_search(gf, lambda, deg, roots)) return std::unexpected(RsError::uncorrectable(deg));
    std::array<std::uint8_t, 255> omega_store{};
    const std::span<std::uint8_t> omega(omega_store.data(), n_parity_);
    error_evaluator(gf, synd, lambda, deg, omega);
    if (!correct(word, synd, omega, lambda, std::span<const std::size_t>(roots.data(), deg)))
        return std::unexpected(RsError::uncorrectable(deg));
    return deg;
}

bool ReedSolomon::correct(std::span<std::uint8_t> word, std::span<std::uint8_t> synd, std::span<const std::uint8_t> omega,
                          std::span<const std::uint8_t> lambda, std::span<const std::size_t> roots) const {
    const Gf256& gf = *gf_;
    const std::size_t deg = roots.size();
    std::array<std::size_t, 128> fixed_pos{};
    std::array<std::uint8_t, 128> fixed_val{};
    std::size_t n_fixed = 0;
    const auto undo = [&] {
        for (std::size_t i = 0; i < n_fixed; ++i) word[fixed_pos[i]] ^= fixed_val[i];
        return false;
    };
    for (const std::size_t p : roots) {
        const std::optional<std::uint8_t> y = error_value(gf, omega, lambda, deg, p);
        if (!y) return undo();
        // Roots among the implied leading zeros of a shortened word change nothing here.
        if (p >= 255 - n_ && *y != 0) {
            const std::size_t pos = 254 - p;
            word[pos] ^= *y;
            fixed_pos[n_fixed] = pos;
            fixed_val[n_fixed] = *y;
            ++n_fixed;
            // Keep the syndromes of the corrected word: S_j += y alpha^(j p).
            for (std::size_t j = 0; j < synd.size(); ++j) synd[j] ^= gf.multiply(*y, gf.alpha_pow(j * p));
        }
    }
    if (std::any_of(synd.begin(), synd.end(), [](std::uint8_t s) { return s != 0; })) return undo();
    return true;
}

}  // namespace kavro::fec
