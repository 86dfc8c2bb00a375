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
        dsp::BiquadPair i_sections = i_sections_, q_sections = q_sections_;
        PhasorNco if_nco = if_nco_;
        PhasorNco rf_nco = rf_nco_;
        const bool usb = usb_;
        for (std::size_t n = 0; n < audio.size(); ++n) {
            const float x = audio[n];
            const Complex q = if_nco.next();
            const Complex r = rf_nco.next();
            const float i_rail = i_sections.step(lp, q.re * x);
            const float q_rail = q_sections.step(lp, q.im * x);
            const float qs = usb ? q_rail : -q_rail;
            // (I + jQ′)·r with the first product of each part fused onto the second.
            out[n] = {std::fma(i_rail, r.re, -(qs * r.im)), std::fma(qs, r.re, i_rail * r.im)};
        }
        i_sections_ = i_sections;
        q_sections_ = q_sections;
        if_nco_ = if_nco;
        rf_nco_ = rf_nco;
    });
    return out;
}

}  // namespace kavro
