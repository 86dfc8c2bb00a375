#include "demodulate/am.hpp"

#include <cmath>

namespace kavro {

AmEnvelopeDemod::AmEnvelopeDemod(double fs, double audio_bw_hz, bool abs_approx)
    : abs_approx_(abs_approx),
      lowpass_(dsp::design_biquad_lowpass(static_cast<float>(fs), static_cast<float>(audio_bw_hz))),
      dc_blocker_(static_cast<float>(fs)) {}

std::vector<float> AmEnvelopeDemod::process(std::span<const Complex> iq) {
    return abs_approx_ ? process_approx(iq) : process_exact(iq);
}

KAVRO_FMA_CLONES std::vector<float> AmEnvelopeDemod::process_exact(std::span<const Complex> iq) {
    std::vector<float> out(iq.size());
    const dsp::BiquadCoefficients lp = lowpass_;
    dsp::BiquadMemory a = section_a_, b = section_b_;
    dsp::DcBlocker dc = dc_blocker_;
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const Complex x = iq[n];
        const float power = std::fma(x.re, x.re, x.im * x.im);
        const float y = dsp::biquad_step(lp, b, dsp::biquad_step(lp, a, power));
        // The filters overshoot after a sudden drop in power, so y can dip below 0; that reads
        // as zero envelope instead of a NaN that would stay in the DC blocker for good. A NaN
        // from the input still passes.
        out[n] = dc.process(std::sqrt(y < 0.0f ? 0.0f : y));
    }
    section_a_ = a;
    section_b_ = b;
    dc_blocker_ = dc;
    return out;
}

KAVRO_FMA_CLONES std::vector<float> AmEnvelopeDemod::process_approx(std::span<const Complex> iq) {
    std::vector<float> out(iq.size());
    const dsp::BiquadCoefficients lp = lowpass_;
    dsp::BiquadMemory a = section_a_, b = section_b_;
    dsp::DcBlocker dc = dc_blocker_;
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const float m = magnitude_estimate(iq[n].re, iq[n].im);
        out[n] = dc.process(dsp::biquad_step(lp, b, dsp::biquad_step(lp, a, m)));
    }
    section_a_ = a;
    section_b_ = b;
    dc_blocker_ = dc;
    return out;
}

}  // namespace kavro
