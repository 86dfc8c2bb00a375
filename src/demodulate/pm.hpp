#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/phase_step_detector.hpp"

namespace kavro {

// Quadrature PM detector: k times the phase step between successive samples, low-passed by two
// sections (cut-off 0.9 × audio_bw_hz). The steps are not summed, so the output follows the
// derivative of the transmitted phase.
class PmQuadratureDemod {
public:
    PmQuadratureDemod(double fs, double k, double audio_bw_hz) : k_(static_cast<float>(k)), detector_(fs, audio_bw_hz) {}

    std::vector<float> process(std::span<const Complex> iq) { return detector_.process(iq, k_); }

private:
    float k_;
    PhaseStepDetector detector_;
};

}  // namespace kavro
