#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"

// A steady tone in a stream (a receiver's own spur, a carrier in the band), measured on the samples
// just before a frame and removed from the frame's samples: it repeats at every lag, so under a
// frame it pulls the carrier offset the preamble and training symbol show, and a header can fail
// on that alone. A tone is taken to be there when one frequency carries at least three quarters
// of the energy of the samples measured (it stands clear of the noise); its frequency is refined
// over growing lags and then between the two halves of the samples, so that the tone it removes
// stays in phase with the one in the stream across a frame.

namespace kavro {

struct SteadyTone {
    double step = 0.0;                  // radians per sample
    std::complex<double> amplitude;     // at position `origin`
    std::uint64_t origin = 0;

    // Appends to `out` the samples `in`, the first at stream position `position`, less the tone.
    void remove(std::uint64_t position, std::span<const Complex> in, std::vector<Complex>& out) const;
};

// The tone of the samples `before`, which start at stream position `origin`, if one carries at
// least three quarters of their energy; nothing for fewer than 64 samples, samples that are not
// finite, or none.
std::optional<SteadyTone> measure_steady_tone(std::span<const Complex> before, std::uint64_t origin);

}  // namespace kavro
