#include "demodulate/ft8.hpp"

#include <cmath>

#include "core/internal_fault.hpp"
#include "core/lanes.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

namespace {

// The correlating phasor's sequence q_n (q_0 = 1, q_{n+1} = q_n · step) is the same in every
// symbol, so it is tabulated once per call: row n holds the K tones' real parts, then their
// imaginary parts. Symbols are then correlated four at a time, one tone per vector lane; each
// lane performs the scalar multiply-accumulate of its tone in sample order.

template <std::size_t K>
[[gnu::always_inline]] inline void tabulate(const float* step_re, const float* step_im, std::size_t length,
                                            float* table) {
    using V = Lanes<K>;
    const typename V::Floats sr = V::load(step_re), si = V::load(step_im);
    typename V::Floats qr = V::splat(1.0f), qi = V::splat(0.0f);
    for (std::size_t n = 0; n < length; ++n) {
        V::store(table + n * 2 * K, qr);
        V::store(table + n * 2 * K + K, qi);
        const typename V::Floats re = qr * sr - qi * si;
        qi = qi * sr + qr * si;
        qr = re;
    }
}

template <std::size_t K, std::size_t S>
[[gnu::always_inline]] inline void decide_group(const float* table, std::size_t length, const Complex* const* symbols,
                                                std::uint8_t* out) {
    using V = Lanes<K>;
    typename V::Floats acc_re[S], acc_im[S];
    for (std::size_t s = 0; s < S; ++s) acc_re[s] = acc_im[s] = V::splat(0.0f);
    for (std::size_t n = 0; n < length; ++n) {
        const typename V::Floats qr = V::load(table + n * 2 * K), qi = V::load(table + n * 2 * K + K);
        for (std::size_t s = 0; s < S; ++s) {
            const typename V::Floats xr = V::splat(symbols[s][n].re), xi = V::splat(symbols[s][n].im);
            acc_re[s] = acc_re[s] + (xr * qr - xi * qi);
            acc_im[s] = acc_im[s] + (xi * qr + xr * qi);
        }
    }
    for (std::size_t s = 0; s < S; ++s) {
        float power[K];
        V::store(power, acc_re[s] * acc_re[s] + acc_im[s] * acc_im[s]);
        float best = -1.0f;
        std::uint8_t tone = 0;
        for (std::size_t k = 0; k < K; ++k)
            if (power[k] > best) {
                best = power[k];
                tone = static_cast<std::uint8_t>(k);
            }
        out[s] = tone;
    }
}

template <std::size_t K>
[[gnu::always_inline]] inline void decide_body(const float* step_re, const float* step_im, std::size_t length,
                                               const Complex* const* symbols, std::size_t count, float* table,
                                               std::uint8_t* out) {
    tabulate<K>(step_re, step_im, length, table);
    std::size_t s = 0;
    for (; s + 4 <= count; s += 4) decide_group<K, 4>(table, length, symbols + s, out + s);
    switch (count - s) {
        case 3: decide_group<K, 3>(table, length, symbols + s, out + s); break;
        case 2: decide_group<K, 2>(table, length, symbols + s, out + s); break;
        case 1: decide_group<K, 1>(table, length, symbols + s, out + s); break;
        default: break;
    }
}

}  // namespace

void decide_data_tones(const codec::ToneFrame& frame, std::span<const float> offsets_hz, float fs, float base_hz,
                       std::span<const Complex> iq, std::span<std::uint8_t> tones, SimdLevel level) {
    const std::size_t k = frame.alphabet;
    if ((k != 8 && k != 4) || offsets_hz.size() != k || iq.size() < frame.frame_samples() ||
        tones.size() != frame.data_tones)
        internal_fault("tone decisions given the wrong lengths");
    float step_re[8], step_im[8];
    for (std::size_t t = 0; t < k; ++t) {
        const float phi = (base_hz + offsets_hz[t]) * (-two_pi_f32) / fs;
        ::sincosf(phi, &step_im[t], &step_re[t]);
    }
    std::vector<const Complex*> symbols;
    symbols.reserve(frame.data_tones);
    for (std::size_t s = 0; s < frame.symbols(); ++s)
        if (frame.layout[s] == codec::data_symbol) symbols.push_back(iq.data() + s * frame.symbol_samples);
    std::vector<float> table(frame.symbol_samples * 2 * k);
    with_simd_level(level, [&] [[gnu::always_inline]] {
        if (k == 8)
            decide_body<8>(step_re, step_im, frame.symbol_samples, symbols.data(), symbols.size(), table.data(),
                           tones.data());
        else
            decide_body<4>(step_re, step_im, frame.symbol_samples, symbols.data(), symbols.size(), table.data(),
                           tones.data());
    });
}

}  // namespace kavro
