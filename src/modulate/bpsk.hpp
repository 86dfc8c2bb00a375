#pragma once

#include "modulate/psk.hpp"

namespace kavro {

// One BPSK symbol per bit, carried to rf_hz by a running oscillator and scaled by the gain.
using BpskMod = PskMod<1>;

}  // namespace kavro
