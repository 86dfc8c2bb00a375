#include "waveform/dvb_t_tps_decoder.hpp"

#include <algorithm>

#include "core/internal_fault.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro::waveform {

namespace {

// GF(2^7) with x^7 + x^3 + 1, α = x.
constexpr unsigned gf_order = 127;

struct Gf128 {
    std::array<std::uint8_t, gf_order> exp{};
    std::array<std::uint8_t, gf_order + 1> log{};

    constexpr Gf128() {
        unsigned v = 1;
        for (unsigned i = 0; i < gf_order; ++i) {
            exp[i] = static_cast<std::uint8_t>(v);
            log[v] = static_cast<std::uint8_t>(i);
            v <<= 1;
            if (v & 0x80u) v ^= 0x89u;
        }
    }

    constexpr std::uint8_t pow(unsigned e) const { return exp[e % gf_order]; }

    constexpr std::uint8_t mul(std::uint8_t a, std::uint8_t b) const {
        if (a == 0 || b == 0) return 0;
        return exp[(log[a] + log[b]) % gf_order];
    }

    constexpr std::uint8_t div(std::uint8_t a, std::uint8_t b) const {  // b != 0
        if (a == 0) return 0;
        return exp[(log[a] + gf_order - log[b]) % gf_order];
    }
};

constexpr Gf128 gf{};

constexpr std::size_t info_bits = 53;  // s1..s53
constexpr std::size_t coded_bits = 67;  // s1..s67
constexpr unsigned first_exponent = gf_order - 1;  // s1 sits at α^126, s_i at α^(127 - i)

unsigned field(const TpsBits& s, std::size_t first, std::size_t count) {
    unsigned v = 0;
    for (std::size_t i = 0; i < count; ++i) v = (v << 1) | s[first + i];
    return v;
}

bool sync_and_length_ok(const TpsBits& s) {
    const unsigned sync = field(s, 1, 16);
    return (sync == tps_sync_even || sync == tps_sync_odd) && field(s, 17, 6) == 0b011111u;
}

}  // namespace

std::optional<TpsBits> tps_bch_decode(std::span<const std::uint8_t> r) {
    if (r.size() < coded_bits) return std::nullopt;
    std::array<std::uint8_t, 5> syn{};
    for (std::size_t i = 1; i <= coded_bits; ++i) {
        if (!r[i - 1]) continue;
        const unsigned position = gf_order - static_cast<unsigned>(i);
        for (unsigned j = 1; j <= 4; ++j) syn[j] ^= gf.pow(j * position);
    }

    TpsBits s{};
    std::copy_n(r.begin(), coded_bits, s.begin() + 1);
    if (syn[1] == 0) {
        if (syn[2] != 0 || syn[3] != 0 || syn[4] != 0) return std::nullopt;
    } else {
        const std::uint8_t sigma1 = syn[1];
        const std::uint8_t s1_cubed = gf.mul(syn[1], gf.mul(syn[1], syn[1]));
        const std::uint8_t sigma2 = syn[3] == s1_cubed ? 0 : gf.div(syn[3] ^ s1_cubed, syn[1]);
        std::size_t marked = 0;
        std::array<std::size_t, coded_bits> flips{};
        for (unsigned p = first_exponent; p >= gf_order - coded_bits; --p) {
            const std::uint8_t x = gf.pow(gf_order - p);
            if ((gf.mul(sigma1, x) ^ gf.mul(sigma2, gf.mul(x, x))) == 1) flips[marked++] = gf_order - p;
        }
        if (marked != (sigma2 == 0 ? 1u : 2u)) return std::nullopt;
        for (std::size_t k = 0; k < marked; ++k) s[flips[k]] ^= 1u;
    }

    // The parity recomputed from the corrected s1..s53 must be the corrected s54..s67.
    std::array<std::uint8_t, coded_bits> dividend{};
    std::copy_n(s.begin() + 1, info_bits, dividend.begin());
    if (tps_remainder(dividend) != field(s, 1 + info_bits, coded_bits - info_bits)) return std::nullopt;
    if (field(s, 25, 2) == 0b11u || field(s, 30, 3) >= 5u) return std::nullopt;
    return s;
}

TpsWord tps_word_from_bits(const TpsBits& s) {
    static constexpr std::array<ConstellationOrder, 3> orders{ConstellationOrder::Qpsk, ConstellationOrder::Qam16,
                                                              ConstellationOrder::Qam64};
    TpsWord word;
    word.frame_number = static_cast<std::uint8_t>(field(s, 23, 2));
    word.constellation = orders[std::min(field(s, 25, 2), 2u)];
    word.code_rate = static_cast<std::uint8_t>(field(s, 30, 3));
    word.guard = static_cast<std::uint8_t>(field(s, 36, 2));
    word.cell_id = static_cast<std::uint8_t>(field(s, 40, 8));
    return word;
}

TpsDecoder::TpsDecoder(std::size_t n_symbols) { bits_.reserve(n_symbols); }

void TpsDecoder::push_symbol(std::span<const Complex> bins) {
    if (bins.size() < dvb_t_n_fft) internal_fault("TPS decoder needs the 2048 bins of a symbol");
    const std::size_t l = bits_.size();
    float d = 0.0f;
    for (std::size_t c = 0; c < tps_carrier_count; ++c) {
        const Complex x = bins[dvb_t_tps_bins[c]];
        d = d + (x.re * previous_[c].re + x.im * previous_[c].im);
        previous_[c] = x;
    }
    bits_.push_back(l > 0 && d < 0.0f ? 1 : 0);

    if (word_ || (l + 1) % tps_word_bits != 0) return;
    const std::size_t block = l / tps_word_bits;
    const auto bits = std::span<const std::uint8_t>(bits_).subspan(block * tps_word_bits + 1, tps_word_bits - 1);
    if (auto s = tps_bch_decode(bits)) word_ = TpsBlock{*s, block, sync_and_length_ok(*s)};
}

}  // namespace kavro::waveform
