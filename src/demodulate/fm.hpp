#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/phase_step_detector.hpp"

namespace kavro {

// Quadrature FM discriminator: the phase step between successive samples (radians per sample)
// divided by max(dev_hz, 1) and low-passed by two sections (cut-off 0.9 × audio_bw_hz). No
// fs/2π factor is applied: a steady offset of f Hz reads (2π·f/fs)/dev_hz.
class FmQuadratureDemod {
public:
    FmQuadratureDemod(double fs, double dev_hz, double audio_bw_hz);

    std::vector<float> process(std::span<const Complex> iq) { return detector_.process(iq, scale_); }

private:
    float scale_;
    PhaseStepDetector detector_;
};

}  // namespace kavro
