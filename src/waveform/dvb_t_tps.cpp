#include "waveform/dvb_t_tps.hpp"

#include <algorithm>
#include <vector>

#include "core/debug_quote.hpp"
#include "core/internal_fault.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro::waveform {

namespace {

// Writes `count` bits of value, most significant first, from position `at`.
void put_bits(TpsBits& word, std::size_t at, unsigned value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) word[at + i] = static_cast<std::uint8_t>((value >> (count - 1 - i)) & 1u);
}

unsigned constellation_code(ConstellationOrder order) {
    switch (order) {
        case ConstellationOrder::Qam16: return 1;
        case ConstellationOrder::Qam64: return 2;
        default: return 0;
    }
}

}  // namespace

std::uint16_t tps_remainder(std::span<const std::uint8_t> bits) {
    std::uint32_t r = 0;
    for (const std::uint8_t b : bits) {
        const bool top = (r >> 13) & 1u;
        r = (r << 1) | (b & 1u);
        if (top) r ^= tps_generator;  // clears the bit shifted out to x^14
    }
    return static_cast<std::uint16_t>(r);
}

TpsBits encode_tps(const DvbTFrameParams& params) {
    TpsBits word{};
    put_bits(word, 1, (params.frame_number & 1u) ? tps_sync_odd : tps_sync_even, 16);
    put_bits(word, 17, 0b011111, 6);
    put_bits(word, 23, params.frame_number & 3u, 2);
    put_bits(word, 25, constellation_code(params.constellation), 2);
    put_bits(word, 30, params.code_rate, 3);
    put_bits(word, 33, params.code_rate, 3);
    put_bits(word, 36, params.guard, 2);
    put_bits(word, 40, params.cell_id, 8);

    std::array<std::uint8_t, 67> dividend{};  // s1..s53 followed by 14 zeros
    std::copy(word.begin() + 1, word.begin() + 54, dividend.begin());
    put_bits(word, 54, tps_remainder(dividend), 14);
    return word;
}

std::array<float, tps_carrier_count> tps_reference_signs() {
    const std::vector<std::uint8_t> w = wk_prbs();
    std::array<float, tps_carrier_count> signs{};
    for (std::size_t i = 0; i < signs.size(); ++i) signs[i] = 2.0f * (0.5f - static_cast<float>(w[dvb_t_tps_carriers[i]]));
    return signs;
}

TpsSymbolWriter::TpsSymbolWriter(const DvbTFrameParams& params)
    : word_(encode_tps(params)), reference_(tps_reference_signs()), current_(reference_) {}

void TpsSymbolWriter::write(std::size_t l, std::span<Complex> bins) {
    if (bins.size() != dvb_t_n_fft) internal_fault("TPS values need a 2048-bin spectrum");
    const std::size_t j = l % tps_word_bits;
    if (j != 0 && word_[j] != 0)
        for (float& value : current_) value = -value;
    for (std::size_t i = 0; i < tps_carrier_count; ++i) bins[dvb_t_tps_bins[i]] = {current_[i], 0.0f};
    if (j == tps_word_bits - 1) current_ = reference_;
}

std::string repr(const TpsWord& word) {
    return "TpsWord(frame_number=" + std::to_string(word.frame_number) +
           ", constellation=" + debug_quote(constellation_str(word.constellation).value_or("?")) +
           ", code_rate=" + debug_quote(rate_str(word.code_rate)) + ", guard=" + debug_quote(guard_str(word.guard)) +
           ", cell_id=" + std::to_string(word.cell_id) + ")";
}

}  // namespace kavro::waveform
