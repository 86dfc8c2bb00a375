#include "demodulate/phase_step_detector.hpp"

#include "dsp/fast_atan2.hpp"

namespace kavro {

PhaseStepDetector::PhaseStepDetector(double fs, double audio_bw_hz)
    : lowpass_(dsp::design_biquad_lowpass(static_cast<float>(fs), static_cast<float>(audio_bw_hz))) {}

std::vector<float> PhaseStepDetector::process(std::span<const Complex> iq, float factor, SimdLevel level) {
    std::vector<float> out(iq.size());
    with_simd_level(level, [&] [[gnu::always_inline]] {
        const dsp::BiquadCoefficients lp = lowpass_;
        dsp::BiquadPair sections = sections_;
        Complex previous = previous_;
        for (std::size_t n = 0; n < iq.size(); ++n) {
            const float theta = dsp::phase_step(previous, iq[n]);
            previous = iq[n];
            out[n] = sections.step(lp, theta * factor);
        }
        previous_ = previous;
        sections_ = sections;
    });
    return out;
}

}  // namespace kavro
