#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "dsp/biquad_lowpass.hpp"

namespace kavro {

// Quadrature PM detector: k times the phase step between successive samples, low-passed by two
// sections (cut-off 0.9 × audio_bw_hz). The steps are not summed, so the output follows the
// derivative of the transmitted phase.
class PmQuadratureDemod {
public:
    PmQuadratureDemod(double fs, double k, double audio_bw_hz);

    std::vector<float> process(std::span<const Complex> iq);

private:
    dsp::BiquadCoefficients lowpass_;
    dsp::BiquadMemory section1_;
    dsp::BiquadMemory section2_;
    Complex previous_{1.0f, 0.0f};
    float k_;
};

}  // namespace kavro
