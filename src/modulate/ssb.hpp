#pragma once

#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"
#include "core/simd_level.hpp"
#include "dsp/biquad_lowpass.hpp"

namespace kavro {

// Weaver-style single sideband: the audio is mixed down by an IF oscillator at audio_if_hz into
// in-phase and quadrature rails, each low-passed by two sections (cut-off 0.9 × audio_bw_hz),
// and the complex result is carried by an RF oscillator at rf_hz. A tone at f leaves at
// rf_hz + audio_if_hz − f (usb) or rf_hz + f − audio_if_hz (lsb); rf_hz is the band centre.
class SsbPhasingMod {
public:
    SsbPhasingMod(double fs, double audio_bw_hz, double audio_if_hz, double rf_hz, bool usb);

    std::vector<Complex> process(std::span<const float> audio) { return process_at(audio, best_simd_level()); }
    // `level` picks the build of the sample loop; every level gives the same bits.
    std::vector<Complex> process_at(std::span<const float> audio, SimdLevel level);

private:
    dsp::BiquadCoefficients lowpass_;
    dsp::BiquadPair i_sections_;
    dsp::BiquadPair q_sections_;
    PhasorNco if_nco_;
    PhasorNco rf_nco_;
    bool usb_;
};

}  // namespace kavro
