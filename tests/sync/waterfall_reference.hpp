#pragma once

// The waterfall written out literally, one cell at a time, as the unit tests' reference and the
// benchmark's peer: no vectors, no shared work between cells.

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

namespace kavro::test {

struct ReferenceWaterfall {
    std::vector<float> data;
    std::size_t n_rows = 0;
    std::size_t n_bins = 0;
};

inline ReferenceWaterfall reference_waterfall(std::span<const Complex> iq, std::size_t block_len,
                                              std::size_t n_rows, std::size_t n_bins,
                                              std::size_t start, float fs, float f0, float df) {
    // std::fma is an instruction where the CPU has one, as in the library, which keeps the
    // benchmark peer fair; both builds give the same bits.
    return with_simd_level(best_simd_level(), [&] [[gnu::always_inline]] {
        ReferenceWaterfall grid{std::vector<float>(n_rows * n_bins, 0.0f), n_rows, n_bins};
        std::vector<float> w_re(n_bins), w_im(n_bins);
        for (std::size_t k = 0; k < n_bins; ++k) {
            const float product = df * static_cast<float>(k);
            const float frequency = f0 + product;
            const float scaled = frequency * -6.2831855f;
            const float theta = scaled / fs;
            ::sincosf(theta, &w_im[k], &w_re[k]);
        }
        for (std::size_t r = 0; r < n_rows; ++r) {
            std::size_t offset = 0, s = 0;
            if (__builtin_mul_overflow(r, block_len, &offset) || __builtin_add_overflow(start, offset, &s)) continue;
            if (s >= iq.size()) continue;
            const std::size_t end = s + block_len < s || s + block_len > iq.size() ? iq.size() : s + block_len;
            for (std::size_t k = 0; k < n_bins; ++k) {
                float p_re = 1.0f, p_im = 0.0f, a_re = 0.0f, a_im = 0.0f;
                for (std::size_t i = s; i < end; ++i) {
                    const float x_re = iq[i].re, x_im = iq[i].im;
                    const float t1 = x_re * p_re, t2 = x_im * p_im, t3 = x_re * p_im, t4 = x_im * p_re;
                    a_re = a_re + (t1 - t2);
                    a_im = a_im + (t3 + t4);
                    const float u = p_im * w_im[k];
                    const float v = p_re * w_im[k];
                    const float new_re = std::fma(p_re, w_re[k], -u);
                    const float new_im = std::fma(p_im, w_re[k], v);
                    p_re = new_re;
                    p_im = new_im;
                }
                const float power = a_re * a_re + a_im * a_im;
                grid.data[r * n_bins + k] = std::log(power + 1e-12f);
            }
        }
        return grid;
    });
}

}  // namespace kavro::test
