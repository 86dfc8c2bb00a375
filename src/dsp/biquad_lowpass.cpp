#include "dsp/biquad_lowpass.hpp"

#include <cmath>

#include "core/phasor_nco.hpp"

namespace kavro::dsp {

BiquadCoefficients design_biquad_lowpass(float fs, float audio_bw_hz) {
    const float w0 = ((audio_bw_hz * 0.9f) * two_pi_f32) / fs;
    float s = 0.0f;
    float c = 0.0f;
    ::sincosf(w0, &s, &c);
    const float alpha = s / 1.4142135f;  // sin w0 / (2Q) with Q = 1/√2
    const float inv = 1.0f / (alpha + 1.0f);
    BiquadCoefficients k;
    k.b0 = ((1.0f - c) * 0.5f) * inv;
    k.b1 = (1.0f - c) * inv;
    k.b2 = k.b0;
    k.a1 = (c * -2.0f) * inv;
    k.a2 = (1.0f - alpha) * inv;
    return k;
}

}  // namespace kavro::dsp
