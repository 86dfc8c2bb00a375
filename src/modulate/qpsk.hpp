#pragma once

#include "modulate/psk.hpp"

namespace kavro {

// One QPSK symbol per bit pair (a trailing odd bit is ignored), carried to rf_hz and scaled.
using QpskMod = PskMod<2>;

}  // namespace kavro
