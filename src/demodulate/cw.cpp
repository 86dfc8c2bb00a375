#include "demodulate/cw.hpp"

#include <cmath>

#include "core/phasor_nco.hpp"

namespace kavro {

CwEnvelopeDemod::CwEnvelopeDemod(double sample_rate, double /*tone_hz*/, double env_bw_hz)
    : a_(std::exp((std::fmax(static_cast<float>(env_bw_hz), 1.0f) * -two_pi_f32) /
                  static_cast<float>(sample_rate))) {}

std::vector<float> CwEnvelopeDemod::process(std::span<const Complex> iq) {
    std::vector<float> out(iq.size());
    const float a = a_;
    const float one_minus_a = 1.0f - a;
    const float gain = gain_;
    float envelope = envelope_;
    for (std::size_t n = 0; n < iq.size(); ++n) {
        const Complex x = iq[n];
        const float magnitude = std::sqrt(x.re * x.re + x.im * x.im);
        envelope = a * envelope + one_minus_a * magnitude;
        out[n] = gain * envelope;
    }
    envelope_ = envelope;
    return out;
}

}  // namespace kavro
