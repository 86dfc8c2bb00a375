#pragma once

// One complex baseband sample: two single-precision floats, real part first (the layout of
// NumPy's complex64). Products are written out component-wise so that every result is the
// plain IEEE single-precision expression, with no NaN recovery and no fused multiply-add.

namespace kavro {

struct Complex {
    float re = 0.0f;
    float im = 0.0f;

    friend constexpr Complex operator*(Complex a, Complex b) {
        return {a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im};
    }
    friend constexpr Complex operator*(Complex a, float k) { return {a.re * k, a.im * k}; }
    friend constexpr Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
    friend constexpr Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
    friend constexpr bool operator==(Complex a, Complex b) = default;
};

constexpr Complex conj(Complex a) { return {a.re, -a.im}; }
constexpr float norm(Complex a) { return a.re * a.re + a.im * a.im; }

static_assert(sizeof(Complex) == 2 * sizeof(float));

}  // namespace kavro
