#pragma once

#include <cmath>
#include <cstdint>

#include "core/complex.hpp"

// The oscillator every modulator and mixer uses: a unit phasor advanced by a fixed complex step
// before each sample and renormalised to unit length every 1024 samples counted since
// construction, so the output does not depend on how a stream is split into calls.

namespace kavro {

inline constexpr float two_pi_f32 = 6.2831855f;

struct PhasorNco {
    Complex phasor{1.0f, 0.0f};
    Complex step{1.0f, 0.0f};
    std::uint32_t counter = 0;

    PhasorNco() = default;

    // The step angle is (f32(f) * 2π) / f32(fs), each operation rounded to single precision;
    // fs = 0 gives a non-finite step and NaN output, which is accepted.
    PhasorNco(double frequency_hz, double sample_rate) {
        const float theta = (static_cast<float>(frequency_hz) * two_pi_f32) / static_cast<float>(sample_rate);
        ::sincosf(theta, &step.im, &step.re);
    }

    void rotate() { phasor = phasor * step; }

    // The rotation with each part fused: re' = fma(re, cos, -(im sin)), im' = fma(im, cos, re sin),
    // the inner product rounded first. Loops calling it run through with_simd_level.
    void rotate_fused() {
        const Complex p = phasor;
        phasor = {std::fma(p.re, step.re, -(p.im * step.im)), std::fma(p.im, step.re, p.re * step.im)};
    }

    // Counts one sample and reports whether the count reached a multiple of 1024.
    bool count() { return (++counter & 1023u) == 0; }

    void renormalise() {
        const float k = 1.0f / std::sqrt(phasor.re * phasor.re + phasor.im * phasor.im);
        phasor = phasor * k;
    }

    // Advances one sample and returns the new phasor (the first sample already uses the step).
    Complex next() {
        rotate();
        if (count()) renormalise();
        return phasor;
    }
};

}  // namespace kavro
