#pragma once

#include <cmath>

#include "core/complex.hpp"

// Four-quadrant angle of re + j·im in (−π, π] by a rational-polynomial arctangent, accurate to
// about 0.0015 rad. Note the argument order: real part first, the reverse of atan2(y, x).

namespace kavro::dsp {

inline float fast_atan2(float re, float im) {
    constexpr float quarter_pi = 0.7853982f;
    constexpr float half_pi = 1.5707964f;
    constexpr float pi = 3.1415927f;
    constexpr float tiny = 1.1920929e-7f;  // keeps 0/0 finite: (0, 0) gives 0

    const float a = std::fabs(re);
    const float b = std::fabs(im);
    // Fold into the first octant: r = min/max ≤ 1 (a = b takes the lower branch).
    const bool steep = a < b;
    const float num = steep ? a : b;
    const float den = steep ? b : a;
    const float r = num / (den + tiny);
    // atan(r) ≈ (π/4)·r − r·(r − 1)·(0.2447 + 0.0663·r), exact at r = 0 and r = 1.
    const float p = quarter_pi * r - (r * (r - 1.0f)) * (0.2447f + 0.0663f * r);
    float angle = steep ? half_pi - p : p;
    if (re < 0.0f) angle = pi - angle;
    if (im < 0.0f) angle = -angle;
    return angle;
}

// Phase step from `previous` to `x` in radians: the angle of x · conj(previous).
inline float phase_step(Complex previous, Complex x) {
    const float re = previous.re * x.re + previous.im * x.im;
    const float im = previous.re * x.im - previous.im * x.re;
    return fast_atan2(re, im);
}

}  // namespace kavro::dsp
