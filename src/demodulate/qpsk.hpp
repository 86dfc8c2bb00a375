#pragma once

#include "demodulate/psk.hpp"

namespace kavro {

// Hard QPSK decisions of gain-scaled baseband samples: the I bit then the Q bit per sample.
using QpskDemod = PskDemod<2>;

}  // namespace kavro
