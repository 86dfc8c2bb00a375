#pragma once

#include <cmath>

// Second-order Butterworth low-pass section (quality factor 1/√2) in transposed direct form II.
// The audio rails of the SSB modulator and of the analog demodulators cascade two of these.

namespace kavro::dsp {

// Coefficients already divided by a0.
struct BiquadCoefficients {
    float b0 = 0.0f;
    float b1 = 0.0f;
    float b2 = 0.0f;
    float a1 = 0.0f;
    float a2 = 0.0f;
};

struct BiquadMemory {
    float z1 = 0.0f;
    float z2 = 0.0f;
};

// Bilinear-transform design with cut-off 0.9 × audio_bw_hz, every step rounded to single
// precision. A zero bandwidth gives all-zero numerator coefficients; nothing is range-checked.
BiquadCoefficients design_biquad_lowpass(float fs, float audio_bw_hz);

// One sample through one section: y = b0·x + z1 and z1' = b1·x + z2 are each fused; the
// feedback terms are separate products. Sample loops run it through with_simd_level, so that the
// fused steps are instructions where the CPU has them.
inline float biquad_step(const BiquadCoefficients& c, BiquadMemory& m, float x) {
    const float y = std::fma(c.b0, x, m.z1);
    m.z1 = std::fma(c.b1, x, m.z2) - c.a1 * y;
    m.z2 = c.b2 * x - c.a2 * y;
    return y;
}

// The two sections in cascade of an audio rail, over one set of coefficients. Sample loops step
// a local copy and store it back after the loop, so that stores to the output cannot alias it.
struct BiquadPair {
    BiquadMemory first;
    BiquadMemory second;

    float step(const BiquadCoefficients& c, float x) { return biquad_step(c, second, biquad_step(c, first, x)); }
};

// A single section that owns its coefficients and memories.
class BiquadLowpass {
public:
    BiquadLowpass(float fs, float audio_bw_hz) : coefficients_(design_biquad_lowpass(fs, audio_bw_hz)) {}
    explicit BiquadLowpass(const BiquadCoefficients& coefficients) : coefficients_(coefficients) {}

    float process(float x) { return biquad_step(coefficients_, memory_, x); }

    const BiquadCoefficients& coefficients() const { return coefficients_; }
    const BiquadMemory& memory() const { return memory_; }

private:
    BiquadCoefficients coefficients_;
    BiquadMemory memory_;
};

}  // namespace kavro::dsp
