#include "fec/bch.hpp"

#include <algorithm>
#include <array>

#include "core/internal_fault.hpp"

namespace kavro::fec {

namespace {

// Largest capability whose 2t syndromes stay within the 254 non-trivial exponents; beyond it the
// coset loop would multiply in x + 1 and repeated minimal polynomials without bound.
constexpr std::size_t max_t = 127;

// Multiplies a (GF(256) coefficients, lowest power first) by b in place.
void poly_mul(const Gf256& gf, std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    std::vector<std::uint8_t> out(a.size() + b.size() - 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j) out[i + j] ^= gf.multiply(a[i], b[j]);
    a = std::move(out);
}

}  // namespace

std::string error_message(const BchError& error) {
    switch (error.kind) {
    case BchError::Kind::DesignTooLarge: return "DesignTooLarge(" + std::to_string(error.value) + ")";
    case BchError::Kind::BadLength: return "BadLength(" + std::to_string(error.value) + ")";
    case BchError::Kind::Uncorrectable: return "Uncorrectable(" + std::to_string(error.value) + ")";
    }
    return "BchError";
}

std::expected<Bch, BchError> Bch::shortened(std::size_t n, std::size_t t) {
    if (n >= 256) return std::unexpected(BchError::bad_length(n));
    if (t > max_t) return std::unexpected(BchError::design_too_large(t));
    const Gf256& gf = Gf256::shared();
    if (t == 0) return std::unexpected(BchError::design_too_large(0));

    // g(x) = product of the minimal polynomials of alpha^1 .. alpha^2t, each taken once: the
    // minimal polynomial of alpha^i is the product of (x + alpha^c) over the cyclotomic coset of i.
    const std::size_t two_t = 2 * t;
    std::vector<bool> marked(two_t + 1, false);
    std::vector<std::uint8_t> g{1};
    for (std::size_t i = 1; i <= two_t; ++i) {
        if (marked[i]) continue;
        std::vector<std::uint8_t> minimal{1};
        const std::size_t start = i % 255;
        std::size_t c = start;
        do {
            if (c >= 1 && c <= two_t) marked[c] = true;
            poly_mul(gf, minimal, {gf.exp(c), 1});
            c = 2 * c % 255;
        } while (c != start);
        poly_mul(gf, g, minimal);
    }
    if (g.size() >= 256) return std::unexpected(BchError::design_too_large(t));

    std::vector<std::uint8_t> gen;
    gen.reserve(g.size());
    for (std::size_t i = g.size(); i-- > 0;) gen.push_back(g[i] & 1);
    const auto first_one = std::find(gen.begin(), gen.end() - 1, std::uint8_t{1});
    gen.erase(gen.begin(), first_one);

    const std::size_t deg = gen.size() - 1;
    if (n <= deg) return std::unexpected(BchError::bad_length(n));
    return Bch(gf, n, t, std::move(gen));
}

std::vector<std::uint8_t> Bch::encode(std::span<const std::uint8_t> message) const {
    std::vector<std::uint8_t> parity(deg());
    encode_into(message, parity);
    return parity;
}

void Bch::encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> parity) const {
    parity_.parity(message, parity);
}

std::expected<BchDecoded, BchError> Bch::decode(std::span<const std::uint8_t> word) const {
    if (word.size() != n_) internal_fault("BCH word must be exactly n bits");
    std::vector<std::uint8_t> buf(word.begin(), word.end());
    auto result = decode_in_place(buf);
    if (!result) return std::unexpected(result.error());
    buf.resize(k());
    return BchDecoded{std::move(buf), *result};
}

std::expected<std::size_t, BchError> Bch::decode_in_place(std::span<std::uint8_t> word) const {
    if (word.size() != n_) internal_fault("BCH word must be exactly n bits");
    if (parity_.is_codeword(word)) return 0;
    const Gf256& gf = *gf_;
    const std::size_t two_t = 2 * t_;

    // S_j (j = 1..2t, stored at j - 1) = sum over set bits i of alpha^(j (254 - i)).
    std::array<std::uint8_t, 254> synd{};
    const auto add_position = [&](std::size_t e) {
        std::size_t acc = e;
        for (std::size_t j = 0; j < two_t; ++j) {
            synd[j] ^= gf.exp(acc);
            acc += e;
            if (acc >= 255) acc -= 255;
        }
    };
    for (std::size_t i = 0; i < n_; ++i)
        if (word[i] & 1) add_position(254 - i);
    const auto clean = [&] {
        return std::all_of(synd.begin(), synd.begin() + static_cast<std::ptrdiff_t>(two_t),
                           [](std::uint8_t s) { return s == 0; });
    };
    if (clean()) return 0;

    std::array<std::uint8_t, 255> lambda{};
    berlekamp_massey(gf, std::span<const std::uint8_t>(synd.data(), two_t),
                     std::span<std::uint8_t>(lambda.data(), two_t + 1));
    const std::size_t deg = poly_degree(std::span<const std::uint8_t>(lambda.data(), two_t + 1));

    // Chien search over the positions inside the shortened word only; roots pointing at the
    // implied leading zeros are ignored, and the recheck below rejects such words.
    std::array<std::size_t, 255> flips{};
    std::size_t n_flips = 0;
    for (std::size_t p = 255 - n_; p < 255; ++p) {
        std::uint8_t sum = lambda[0];
        std::size_t e = 255 - p;  // exponent of alpha^(-p), advanced by j per term
        std::size_t acc = e;
        for (std::size_t j = 1; j <= deg; ++j) {
            if (lambda[j] != 0) sum ^= gf.exp(static_cast<std::size_t>(gf.log(lambda[j])) + acc % 255);
            acc += e;
        }
        if (sum == 0) {
            const std::size_t pos = 254 - p;
            word[pos] ^= 1;
            flips[n_flips++] = pos;
            add_position(p);
        }
    }
    if (!clean() || n_flips > t_) {
        for (std::size_t i = 0; i < n_flips; ++i) word[flips[i]] ^= 1;
        return std::unexpected(BchError::uncorrectable(n_flips));
    }
    return n_flips;
}

}  // namespace kavro::fec
