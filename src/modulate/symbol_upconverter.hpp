#pragma once

#include <cstddef>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"

namespace kavro {

// Carries count mapped symbols to the oscillator's frequency: sample k is
// (symbol k × phasor) × gain, the oscillator advanced once per sample and kept for the next call.
template <class MapSymbol>
std::vector<Complex> upconvert_symbols(PhasorNco& nco, float gain, std::size_t count, MapSymbol map_symbol) {
    std::vector<Complex> samples(count);
    PhasorNco running = nco;  // a local copy: stores to the output cannot alias the oscillator
    for (std::size_t k = 0; k < count; ++k) samples[k] = (map_symbol(k) * running.next()) * gain;
    nco = running;
    return samples;
}

}  // namespace kavro
