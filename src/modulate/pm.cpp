#include "modulate/pm.hpp"

#include <cmath>

namespace kavro {

PmDirectPhaseMod::PmDirectPhaseMod(double sample_rate, double kp_rad_per_unit, double rf_hz)
    : kp_(static_cast<float>(kp_rad_per_unit)), carrier_(rf_hz, sample_rate) {}

std::vector<Complex> PmDirectPhaseMod::process(std::span<const float> audio) {
    std::vector<Complex> out(audio.size());
    PhasorNco nco = carrier_;
    const float kp = kp_;
    const float gain = gain_;
    for (std::size_t n = 0; n < audio.size(); ++n) {
        float s = 0.0f;
        float c = 0.0f;
        ::sincosf(kp * audio[n], &s, &c);
        const Complex p = nco.next();
        const float a = gain * c;
        const float b = gain * s;
        out[n] = {a * p.re - b * p.im, a * p.im + b * p.re};
    }
    carrier_ = nco;
    return out;
}

}  // namespace kavro
