#include "modulate/cw.hpp"

#include <cmath>

namespace kavro {

namespace {

// exp(−1 / (t · fs)): the envelope covers 1 − 1/e of a step in t = max(ms, 0.1) milliseconds.
float envelope_coefficient(float ms, float fs) {
    return std::exp(-1.0f / ((std::fmax(ms, 0.1f) * 0.001f) * fs));
}

}  // namespace

CwKeyedMod::CwKeyedMod(double sample_rate, double tone_hz, double rise_ms, double fall_ms)
    : tone_(tone_hz, sample_rate),
      rise_(envelope_coefficient(static_cast<float>(rise_ms), static_cast<float>(sample_rate))),
      fall_(envelope_coefficient(static_cast<float>(fall_ms), static_cast<float>(sample_rate))) {}

std::vector<Complex> CwKeyedMod::process(std::span<const float> keying) {
    std::vector<Complex> out(keying.size());
    PhasorNco nco = tone_;
    float envelope = envelope_;
    const float rise = rise_;
    const float fall = fall_;
    const float gain = gain_;
    for (std::size_t n = 0; n < keying.size(); ++n) {
        const Complex p = nco.next();
        float k = keying[n];
        // Plain comparisons: a NaN key passes unchanged (and enters the envelope).
        if (k < 0.0f) k = 0.0f;
        if (k > 1.0f) k = 1.0f;
        const float a = k < envelope ? fall : rise;
        envelope = envelope * a + k * (1.0f - a);
        out[n] = Complex{gain * envelope, 0.0f} * p;
    }
    tone_ = nco;
    envelope_ = envelope;
    return out;
}

}  // namespace kavro
