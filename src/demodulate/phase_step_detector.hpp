#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"
#include "dsp/biquad_lowpass.hpp"

namespace kavro {

// The shared core of the FM and PM detectors: the phase step between successive samples, times
// a factor, low-passed by two biquad sections (cut-off 0.9 × audio_bw_hz). The previous sample
// and the section memories carry over between calls.
class PhaseStepDetector {
public:
    PhaseStepDetector(double fs, double audio_bw_hz);

    // `level` picks the build of the sample loop; every level gives the same bits.
    std::vector<float> process(std::span<const Complex> iq, float factor, SimdLevel level = best_simd_level());

private:
    Complex previous_{1.0f, 0.0f};
    dsp::BiquadCoefficients lowpass_;
    dsp::BiquadPair sections_;
};

}  // namespace kavro
