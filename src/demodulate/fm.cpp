#include "demodulate/fm.hpp"

#include <cmath>

namespace kavro {

FmQuadratureDemod::FmQuadratureDemod(double fs, double dev_hz, double audio_bw_hz)
    // fmax treats a NaN deviation as missing, so the scale is then 1.
    : scale_(1.0f / std::fmax(static_cast<float>(dev_hz), 1.0f)), detector_(fs, audio_bw_hz) {}

}  // namespace kavro
