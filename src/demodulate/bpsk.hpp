#pragma once

#include "demodulate/psk.hpp"

namespace kavro {

// Hard BPSK decisions of gain-scaled baseband samples, one bit per sample.
using BpskDemod = PskDemod<1>;

}  // namespace kavro
