#include "demodulate/fm.hpp"

#include <cmath>

#include "dsp/fast_atan2.hpp"

namespace kavro {

FmQuadratureDemod::FmQuadratureDemod(double fs, double dev_hz, double audio_bw_hz)
    // fmax treats a NaN deviation as missing, so the scale is then 1.
    : scale_(1.0f / std::fmax(static_cast<float>(dev_hz), 1.0f)),
      lowpass_(dsp::design_biquad_lowpass(static_cast<float>(fs), static_cast<float>(audio_bw_hz))) {}

KAVRO_FMA_CLONES std::vector<float> FmQuadratureDemod::process(std::span<const Complex> iq) {
    std::vector<float> out(iq.size());
    const float scale = scale_;
    const dsp::BiquadCoefficients lp = lowpass_;
    dsp::BiquadMemory s1 = section1_, s2 = section2_;
    Complex previous = previous_;
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const float theta = dsp::phase_step(previous, iq[n]);
        previous = iq[n];
        out[n] = dsp::biquad_step(lp, s2, dsp::biquad_step(lp, s1, theta * scale));
    }
    previous_ = previous;
    section1_ = s1;
    section2_ = s2;
    return out;
}

}  // namespace kavro
