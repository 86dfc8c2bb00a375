#include "modulate/fm.hpp"

#include <cmath>

namespace kavro {

FmPhaseAccumMod::FmPhaseAccumMod(double sample_rate, double deviation_hz, double rf_hz)
    : sample_rate_(static_cast<float>(sample_rate)),
      deviation_hz_(static_cast<float>(deviation_hz)),
      rf_(rf_hz, sample_rate) {}

std::vector<Complex> FmPhaseAccumMod::process(std::span<const float> audio) {
    std::vector<Complex> out(audio.size());
    const float k = (deviation_hz_ * two_pi_f32) / sample_rate_;
    PhasorNco modulation = modulation_;
    PhasorNco rf = rf_;
    const float gain = gain_;
    for (std::size_t n = 0; n < audio.size(); ++n) {
        ::sincosf(k * audio[n], &modulation.step.im, &modulation.step.re);
        const Complex m = modulation.next();
        const Complex r = rf.next();
        out[n] = (m * gain) * r;
    }
    modulation_ = modulation;
    rf_ = rf;
    return out;
}

}  // namespace kavro
