#include "modulate/ft8.hpp"

#include <cmath>

#include "core/internal_fault.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

namespace {

// One symbol of the tone oscillator, four samples per step of the loop (symbol lengths and 1024
// are multiples of four, so the counter can only reach a multiple of 1024 on the fourth).
template <bool Shift>
void synthesize_symbol(Complex& p, Complex step, std::uint32_t& count, float gain, PhasorNco& rf, Complex* out,
                       std::size_t samples) {
    for (std::size_t i = 0; i < samples; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) {
            p = p * step;
            const Complex sample = p * gain;
            out[i + k] = Shift ? sample * rf.next() : sample;
        }
        count += 4;
        if ((count & 1023u) == 0) {
            const float magnitude = std::sqrt(p.re * p.re + p.im * p.im);
            p = Complex{p.re / magnitude, p.im / magnitude};
        }
    }
}

template <bool Shift>
void synthesize(const codec::ToneFrame& frame, std::span<const std::uint8_t> data_tones, float fs, float base_hz,
                float gain, PhasorNco& rf, Complex* out) {
    Complex p{1.0f, 0.0f};
    std::uint32_t count = 0;
    std::size_t next_data = 0;
    for (const std::uint8_t fixed : frame.layout) {
        const std::uint8_t tone = fixed == codec::data_symbol ? data_tones[next_data++] : fixed;
        const float omega = ((static_cast<float>(tone) * frame.spacing_hz) + base_hz) * two_pi_f32 / fs;
        Complex step;
        ::sincosf(omega, &step.im, &step.re);
        synthesize_symbol<Shift>(p, step, count, gain, rf, out, frame.symbol_samples);
        out += frame.symbol_samples;
    }
}

}  // namespace

void synthesize_tone_frame(const codec::ToneFrame& frame, std::span<const std::uint8_t> data_tones, float fs,
                           float base_hz, float rf_hz, float gain, std::span<Complex> out) {
    if (data_tones.size() != frame.data_tones || out.size() != frame.frame_samples() || frame.symbol_samples % 4 != 0)
        internal_fault("tone frame synthesis given the wrong lengths");
    PhasorNco rf(rf_hz, fs);
    if (rf_hz != 0.0f) synthesize<true>(frame, data_tones, fs, base_hz, gain, rf, out.data());
    else synthesize<false>(frame, data_tones, fs, base_hz, gain, rf, out.data());
}

}  // namespace kavro
