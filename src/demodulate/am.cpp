#include "demodulate/am.hpp"

#include <cmath>

namespace kavro {

AmEnvelopeDemod::AmEnvelopeDemod(double fs, double audio_bw_hz, bool abs_approx)
    : abs_approx_(abs_approx),
      lowpass_(dsp::design_biquad_lowpass(static_cast<float>(fs), static_cast<float>(audio_bw_hz))),
      dc_blocker_(static_cast<float>(fs)) {}

template <bool Approx>
[[gnu::always_inline]] inline void AmEnvelopeDemod::detect(std::span<const Complex> iq, std::span<float> out) {
    const dsp::BiquadCoefficients lp = lowpass_;
    dsp::BiquadPair sections = sections_;
    dsp::DcBlocker dc = dc_blocker_;
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const Complex x = iq[n];
        if constexpr (Approx) {
            const float m = magnitude_estimate(x.re, x.im);
            out[n] = dc.process(sections.step(lp, m));
        } else {
            const float power = std::fma(x.re, x.re, x.im * x.im);
            const float y = sections.step(lp, power);
            // The filters overshoot after a sudden drop in power, so y can dip below 0; that reads
            // as zero envelope instead of a NaN that would stay in the DC blocker for good. A NaN
            // from the input still passes.
            out[n] = dc.process(std::sqrt(y < 0.0f ? 0.0f : y));
        }
    }
    sections_ = sections;
    dc_blocker_ = dc;
}

std::vector<float> AmEnvelopeDemod::process_at(std::span<const Complex> iq, SimdLevel level) {
    std::vector<float> out(iq.size());
    with_simd_level(level, [&] [[gnu::always_inline]] {
        if (abs_approx_) detect<true>(iq, out);
        else detect<false>(iq, out);
    });
    return out;
}

}  // namespace kavro
