#pragma once

#include <cstddef>

#include "core/simd_level.hpp"

// A screen for impulses in a stretch of samples: a sample whose power stands far above the
// combined power of the samples right after it is a lone spike, not signal. A search for repeated
// segments leaves such samples out, so that one wild sample neither forms sums that hide a
// preamble nor sets the scale of the samples around it.

namespace kavro {

// The number of samples x in [0, count) with power p(x) = re² + im² of at least `floor` and more
// than `ratio` · (p(x+1) + … + p(x+after)), the sum formed from zero in that order. re and im hold
// count + after values; `power` receives their powers.
std::size_t count_impulses(const float* re, const float* im, std::size_t count, std::size_t after, float ratio,
                           float floor, float* power, SimdLevel level = best_simd_level());

// Whether sample x is one of those counted, from the powers count_impulses wrote.
bool is_impulse(const float* power, std::size_t x, std::size_t after, float ratio, float floor);

}  // namespace kavro
