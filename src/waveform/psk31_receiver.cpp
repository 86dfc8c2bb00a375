#include "waveform/psk31_receiver.hpp"

#include <cmath>

namespace kavro::waveform {

Psk31DemodState::Psk31DemodState(std::size_t samples_per_symbol, float fs, float rf_hz, float gain_)
    : window(make_hann(samples_per_symbol)), mix_on(rf_hz != 0.0f), sps(samples_per_symbol), gain(gain_) {
    if (mix_on) nco = PhasorNco(-rf_hz, fs);
    for (const float w : window) window_energy += w * w;
}

void Psk31DemodState::reset() {
    sample_idx = 0;
    sym_acc = {};
    phase = 0.0f;
    prev_sym = {1.0f, 0.0f};
    prev_rx = {1.0f, 0.0f};
    if (mix_on) {
        nco.phasor = {1.0f, 0.0f};
        nco.counter = 0;
    }
}

namespace {

bool finite(Complex z) { return std::isfinite(z.re) && std::isfinite(z.im); }

// Phase error of a differential product against its nearest decision point, in -1..1.
template <bool Qpsk>
float phase_error(Complex d, float magnitude) {
    if constexpr (!Qpsk) {
        return (d.re < 0.0f ? -d.im : d.im) / magnitude;
    } else {
        float a = 0.0f, b = 0.0f;
        if (std::fabs(d.re) >= std::fabs(d.im)) a = d.re < 0.0f ? -1.0f : 1.0f;
        else b = d.im < 0.0f ? -1.0f : 1.0f;
        return (a * d.im - b * d.re) / magnitude;
    }
}

// Ends a symbol: scales and turns the integrated value, writes the differential product with the
// previous symbol and moves the phase loop. A product that is not finite (from non-finite or
// enormous samples) restarts the reference and the loop, so one bad sample spoils few symbols.
template <bool Qpsk>
[[gnu::always_inline]] inline void finish_symbol(Psk31DemodState& s, Complex acc, float inv_energy, float* out) {
    const Complex rx = acc * inv_energy;
    const Complex z = rx * s.gain;
    float sn = 0.0f, cs = 0.0f;
    ::sincosf(s.phase, &sn, &cs);
    const Complex cur{z.re * cs + z.im * sn, z.im * cs - z.re * sn};
    s.sample_idx = 0;
    s.sym_acc = {};
    const Complex p = s.prev_sym;
    const Complex d{cur.re * p.re + cur.im * p.im, cur.im * p.re - cur.re * p.im};
    out[0] = d.re;
    if constexpr (Qpsk) out[1] = d.im;
    const float power = d.re * d.re + d.im * d.im;
    const float e = power > 1e-6f ? phase_error<Qpsk>(d, std::sqrt(power)) : 0.0f;
    s.prev_sym = cur;
    s.prev_rx = rx;
    s.phase += e * s.phase_gain;
    if (s.phase > 3.1415927f) s.phase -= two_pi_f32;
    if (s.phase < -3.1415927f) s.phase += two_pi_f32;
    if (!std::isfinite(power) || !finite(cur) || !finite(rx) || !std::isfinite(s.phase)) {
        s.prev_sym = s.prev_rx = {1.0f, 0.0f};
        s.phase = 0.0f;
    }
}

// The sample loop. Within a symbol it runs without tests; the stop rule is applied per run of
// samples up to the next symbol boundary or the end of the input: a run that would complete a
// symbol with no room for its output is left unread. A run that completes nothing needs no room,
// so the samples of a symbol in progress are always taken into the carried state.
template <bool Qpsk, bool Mix>
[[gnu::always_inline]] inline std::size_t run(Psk31DemodState& s, std::span<const Complex> input, std::span<float> output) {
    constexpr std::size_t per_symbol = Qpsk ? 2 : 1;
    const float inv_energy = 1.0f / s.window_energy;
    const float* window = s.window.data();
    PhasorNco nco = s.nco;
    Complex acc = s.sym_acc;
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < input.size()) {
        const Complex tail = s.prev_rx;
        const std::size_t start = s.sample_idx;
        const std::size_t run_end = start + std::min(s.sps - start, input.size() - i);
        if (run_end == s.sps && output.size() - written < per_symbol) break;
        for (std::size_t k = start; k < run_end; ++k, ++i) {
            Complex x = input[i];
            if constexpr (Mix) {
                nco.rotate_fused();
                if (nco.count()) nco.renormalise();
                x = x * nco.phasor;
            }
            const float w = window[k];
            const float keep = 1.0f - w;
            acc.re += (x.re - tail.re * keep) * w;
            acc.im += (x.im - tail.im * keep) * w;
        }
        s.sample_idx = run_end;
        if (run_end == s.sps) {
            finish_symbol<Qpsk>(s, acc, inv_energy, output.data() + written);
            acc = {};
            written += per_symbol;
        }
    }
    s.sym_acc = acc;
    if constexpr (Mix) s.nco = nco;
    return written;
}

template <bool Qpsk>
[[gnu::always_inline]] inline std::size_t dispatch(Psk31DemodState& s, std::span<const Complex> input, std::span<float> output) {
    return s.mix_on ? run<Qpsk, true>(s, input, output) : run<Qpsk, false>(s, input, output);
}

}  // namespace

template <Psk31Mode M>
std::size_t psk31_receive(Psk31DemodState& state, std::span<const Complex> input, std::span<float> output,
                          SimdLevel level) {
    constexpr bool qpsk = M == Psk31Mode::Qpsk31;
    return with_simd_level(level, [&] [[gnu::always_inline]] { return dispatch<qpsk>(state, input, output); });
}

template std::size_t psk31_receive<Psk31Mode::Bpsk31>(Psk31DemodState&, std::span<const Complex>, std::span<float>,
                                                      SimdLevel);
template std::size_t psk31_receive<Psk31Mode::Qpsk31>(Psk31DemodState&, std::span<const Complex>, std::span<float>,
                                                      SimdLevel);

}  // namespace kavro::waveform
