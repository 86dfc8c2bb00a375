#include "demodulate/ssb.hpp"

#include <cmath>

namespace kavro {

SsbProductDemod::SsbProductDemod(double fs, double bfo_hz, double audio_bw_hz)
    : dc_blocker_(static_cast<float>(fs)),
      lowpass_(dsp::design_biquad_lowpass(static_cast<float>(fs), static_cast<float>(audio_bw_hz))),
      bfo_(bfo_hz, fs) {}

std::vector<float> SsbProductDemod::process_at(std::span<const Complex> iq, SimdLevel level) {
    std::vector<float> out(iq.size());
    with_simd_level(level, [&] [[gnu::always_inline]] {
        const dsp::BiquadCoefficients lp = lowpass_;
        dsp::BiquadPair sections = sections_;
        dsp::DcBlocker dc = dc_blocker_;
        PhasorNco bfo = bfo_;
        for (std::size_t n = 0; n < iq.size(); ++n) {
            const Complex x = iq[n];
            const Complex p = bfo.next();
            const float v = std::fma(x.re, p.re, x.im * p.im);  // Re(x · conj(p))
            out[n] = dc.process(sections.step(lp, v));
        }
        sections_ = sections;
        dc_blocker_ = dc;
        bfo_ = bfo;
    });
    return out;
}

}  // namespace kavro
