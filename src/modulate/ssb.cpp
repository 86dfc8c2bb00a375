#include "modulate/ssb.hpp"

#include <cmath>

namespace kavro {

SsbPhasingMod::SsbPhasingMod(double fs, double audio_bw_hz, double audio_if_hz, double rf_hz, bool usb)
    : lowpass_(dsp::design_biquad_lowpass(static_cast<float>(fs), static_cast<float>(audio_bw_hz))),
      if_nco_(audio_if_hz, fs),
      rf_nco_(rf_hz, fs),
      usb_(usb) {}

std::vector<Complex> SsbPhasingMod::process_at(std::span<const float> audio, SimdLevel level) {
    std::vector<Complex> out(audio.size());
    with_simd_level(level, [&] [[gnu::always_inline]] {
        const dsp::BiquadCoefficients lp = lowpass_;
        dsp::BiquadMemory i1 = i_section1_, i2 = i_section2_, q1 = q_section1_, q2 = q_section2_;
        PhasorNco if_nco = if_nco_;
        PhasorNco rf_nco = rf_nco_;
        const bool usb = usb_;
        for (std::size_t n = 0; n < audio.size(); ++n) {
            const float x = audio[n];
            const Complex q = if_nco.next();
            const Complex r = rf_nco.next();
            const float i_rail = dsp::biquad_step(lp, i2, dsp::biquad_step(lp, i1, q.re * x));
            const float q_rail = dsp::biquad_step(lp, q2, dsp::biquad_step(lp, q1, q.im * x));
            const float qs = usb ? q_rail : -q_rail;
            // (I + jQ′)·r with the first product of each part fused onto the second.
            out[n] = {std::fma(i_rail, r.re, -(qs * r.im)), std::fma(qs, r.re, i_rail * r.im)};
        }
        i_section1_ = i1;
        i_section2_ = i2;
        q_section1_ = q1;
        q_section2_ = q2;
        if_nco_ = if_nco;
        rf_nco_ = rf_nco;
    });
    return out;
}

}  // namespace kavro
