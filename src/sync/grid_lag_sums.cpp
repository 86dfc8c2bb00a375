#include "sync/grid_lag_sums.hpp"

#include "core/lanes.hpp"

namespace kavro {

namespace {

using L = Lanes<8>;

// The lanes of v summed as ((v0 + v4) + (v2 + v6)) + ((v1 + v5) + (v3 + v7)).
[[gnu::always_inline]] inline float lanes_total(L::Floats v) {
    const L::Ints upper = {4, 5, 6, 7, 0, 1, 2, 3}, third = {2, 3, 0, 1, 2, 3, 0, 1}, second = {1, 0, 1, 0, 1, 0, 1, 0};
    v = v + __builtin_shuffle(v, upper);
    v = v + __builtin_shuffle(v, third);
    v = v + __builtin_shuffle(v, second);
    return v[0];
}

// The sums of one grid point: eight samples at a time in lanes (lane l takes n ≡ l mod 8, added
// in n order), the lanes totalled, then the samples past the last eight added in n order.
[[gnu::always_inline]] inline void lag_sums_at(const Complex* a, const Complex* b, std::size_t len, float& out_re,
                                               float& out_im, float& out_energy) {
    const L::Ints even = {0, 2, 4, 6, 8, 10, 12, 14}, odd = {1, 3, 5, 7, 9, 11, 13, 15};
    L::Floats sum_re{}, sum_im{}, sum_energy{};
    std::size_t n = 0;
    for (; n + L::count <= len; n += L::count) {
        const auto* pa = reinterpret_cast<const float*>(a + n);
        const auto* pb = reinterpret_cast<const float*>(b + n);
        const L::Floats a0 = L::load(pa), a1 = L::load(pa + L::count), b0 = L::load(pb), b1 = L::load(pb + L::count);
        const L::Floats xr = __builtin_shuffle(a0, a1, even), xi = __builtin_shuffle(a0, a1, odd);
        const L::Floats yr = __builtin_shuffle(b0, b1, even), yi = __builtin_shuffle(b0, b1, odd);
        sum_re = sum_re + (xr * yr + xi * yi);
        sum_im = sum_im + (xr * yi - xi * yr);
        sum_energy = sum_energy + (yr * yr + yi * yi);
    }
    float re = lanes_total(sum_re), im = lanes_total(sum_im), energy = lanes_total(sum_energy);
    for (; n < len; ++n) {
        re = re + (a[n].re * b[n].re + a[n].im * b[n].im);
        im = im + (a[n].re * b[n].im - a[n].im * b[n].re);
        energy = energy + (b[n].re * b[n].re + b[n].im * b[n].im);
    }
    out_re = re;
    out_im = im;
    out_energy = energy;
}

}  // namespace

void grid_lag_sums(const Complex* s, std::size_t r, std::size_t step, std::size_t len, std::size_t count, float* out_re,
                   float* out_im, float* out_energy, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        for (std::size_t k = 0; k < count; ++k)
            lag_sums_at(s + k * step, s + k * step + r, len, out_re[k], out_im[k], out_energy[k]);
    });
}

}  // namespace kavro
