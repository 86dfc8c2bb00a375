#include "modulate/am.hpp"

namespace kavro {

AmDsbMod::AmDsbMod(double fs, double rf_hz, double carrier_level, double modulation_index)
    : carrier_level_(static_cast<float>(carrier_level)),
      modulation_index_(static_cast<float>(modulation_index)),
      carrier_(rf_hz, fs) {}

std::vector<Complex> AmDsbMod::process(std::span<const float> audio) {
    std::vector<Complex> out(audio.size());
    PhasorNco nco = carrier_;
    const float gain = gain_;
    const float level = carrier_level_;
    const float index = modulation_index_;
    const bool clamp = clamp_;
    for (std::size_t n = 0; n < audio.size(); ++n) {
        const Complex p = nco.next();
        float e = level + index * audio[n];
        if (clamp) {
            // Plain comparisons: a NaN envelope passes unchanged.
            if (e < -1.0f) e = -1.0f;
            if (e > 1.0f) e = 1.0f;
        }
        const float v = gain * e;
        out[n] = {v * p.re, v * p.im};
    }
    carrier_ = nco;
    return out;
}

}  // namespace kavro
