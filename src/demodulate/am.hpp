#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"
#include "dsp/biquad_lowpass.hpp"
#include "dsp/dc_blocker.hpp"

namespace kavro {

// Magnitude estimate without a square root (alpha-max-beta-min): 0.9482·max(|re|, |im|) +
// 0.392·min(|re|, |im|), within −5.3 % / +2.7 % of the true magnitude at every angle.
inline float magnitude_estimate(float re, float im) {
    const float a = re < 0.0f ? -re : re;
    const float b = im < 0.0f ? -im : im;
    const bool b_larger = a < b;
    const float larger = b_larger ? b : a;
    const float smaller = b_larger ? a : b;
    return 0.9482f * larger + 0.392f * smaller;
}

// AM envelope detector: the power (exact mode, square root after the filter) or a magnitude
// estimate (approximate mode) is low-passed by two sections (cut-off 0.9 × audio_bw_hz) and
// DC-blocked, so the output is the modulating audio without the carrier level.
class AmEnvelopeDemod {
public:
    AmEnvelopeDemod(double fs, double audio_bw_hz, bool abs_approx = false);

    std::vector<float> process(std::span<const Complex> iq) { return process_at(iq, best_simd_level()); }
    // `level` picks the build of the sample loop; every level gives the same bits.
    std::vector<float> process_at(std::span<const Complex> iq, SimdLevel level);

private:
    // The sample loop of either mode, writing out[n] for iq[n].
    template <bool Approx>
    void detect(std::span<const Complex> iq, std::span<float> out);

    bool abs_approx_;
    dsp::BiquadCoefficients lowpass_;
    dsp::BiquadPair sections_;
    dsp::DcBlocker dc_blocker_;
};

}  // namespace kavro
