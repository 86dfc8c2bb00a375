#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"
#include "core/simd_level.hpp"
#include "dsp/biquad_lowpass.hpp"
#include "dsp/dc_blocker.hpp"

namespace kavro {

// Product detector: Re(x · conj(bfo)) low-passed by two sections (cut-off 0.9 × audio_bw_hz) and
// DC-blocked. Tones at bfo_hz + f and bfo_hz − f both come out as audio at f.
class SsbProductDemod {
public:
    SsbProductDemod(double fs, double bfo_hz, double audio_bw_hz);

    std::vector<float> process(std::span<const Complex> iq) { return process_at(iq, best_simd_level()); }
    // `level` picks the build of the sample loop; every level gives the same bits.
    std::vector<float> process_at(std::span<const Complex> iq, SimdLevel level);

private:
    dsp::BiquadPair sections_;
    dsp::DcBlocker dc_blocker_;
    dsp::BiquadCoefficients lowpass_;
    PhasorNco bfo_;
};

}  // namespace kavro
