#include "sync/waterfall.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/internal_fault.hpp"

namespace kavro {

namespace {

constexpr float minus_two_pi = -6.2831855f;
constexpr float power_floor = 1e-12f;

bool detect_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

const bool has_avx2 = detect_avx2();

// Eight bins per vector and V vectors side by side: the phasor recurrence is serial in the
// samples, so independent vectors keep the multiply units busy. Each lane does exactly the
// scalar operations of its bin.
template <int V>
__attribute__((target("avx2,fma"), always_inline)) inline void bins_avx2(const Complex* block, std::size_t len,
                                                                         const Complex* steps, std::size_t count,
                                                                         float* out) {
    alignas(32) float w_re[8 * V] = {}, w_im[8 * V] = {};
    for (std::size_t k = 0; k < count; ++k) {
        w_re[k] = steps[k].re;
        w_im[k] = steps[k].im;
    }
    __m256 wr[V], wi[V], pr[V], pi[V], ar[V], ai[V];
    for (int v = 0; v < V; ++v) {
        wr[v] = _mm256_load_ps(w_re + 8 * v);
        wi[v] = _mm256_load_ps(w_im + 8 * v);
        pr[v] = _mm256_set1_ps(1.0f);
        pi[v] = _mm256_setzero_ps();
        ar[v] = _mm256_setzero_ps();
        ai[v] = _mm256_setzero_ps();
    }
    for (std::size_t n = 0; n < len; ++n) {
        const __m256 xr = _mm256_set1_ps(block[n].re), xi = _mm256_set1_ps(block[n].im);
        for (int v = 0; v < V; ++v) {
            ar[v] = _mm256_add_ps(ar[v], _mm256_sub_ps(_mm256_mul_ps(xr, pr[v]), _mm256_mul_ps(xi, pi[v])));
            ai[v] = _mm256_add_ps(ai[v], _mm256_add_ps(_mm256_mul_ps(xr, pi[v]), _mm256_mul_ps(xi, pr[v])));
            const __m256 next_re = _mm256_fmsub_ps(pr[v], wr[v], _mm256_mul_ps(pi[v], wi[v]));
            pi[v] = _mm256_fmadd_ps(pi[v], wr[v], _mm256_mul_ps(pr[v], wi[v]));
            pr[v] = next_re;
        }
    }
    alignas(32) float power[8 * V];
    const __m256 floor = _mm256_set1_ps(power_floor);
    for (int v = 0; v < V; ++v) {
        const __m256 sq = _mm256_add_ps(_mm256_mul_ps(ar[v], ar[v]), _mm256_mul_ps(ai[v], ai[v]));
        _mm256_store_ps(power + 8 * v, _mm256_add_ps(sq, floor));
    }
    for (std::size_t k = 0; k < count; ++k) out[k] = ::logf(power[k]);
}

}  // namespace

float Waterfall::at(std::size_t row, std::size_t bin) const {
    if (row >= n_rows || bin >= n_bins) {
        internal_fault("waterfall cell (" + std::to_string(row) + ", " + std::to_string(bin) + ") outside a " +
                       std::to_string(n_rows) + " x " + std::to_string(n_bins) + " grid");
    }
    return data[row * n_bins + bin];
}

std::vector<Complex> waterfall_steps(std::size_t n_bins, float fs, float f0, float df) {
    std::vector<Complex> steps(n_bins);
    for (std::size_t k = 0; k < n_bins; ++k) {
        const float theta = ((f0 + df * static_cast<float>(k)) * minus_two_pi) / fs;
        ::sincosf(theta, &steps[k].im, &steps[k].re);
    }
    return steps;
}

namespace detail {

bool waterfall_has_avx2() { return has_avx2; }

void waterfall_row_portable(const Complex* block, std::size_t len, const Complex* steps, std::size_t n_bins,
                            float* out) {
    for (std::size_t k = 0; k < n_bins; ++k) {
        const Complex w = steps[k];
        float pr = 1.0f, pi = 0.0f, ar = 0.0f, ai = 0.0f;
        for (std::size_t n = 0; n < len; ++n) {
            const Complex x = block[n];
            ar = ar + (x.re * pr - x.im * pi);
            ai = ai + (x.re * pi + x.im * pr);
            const float next_re = std::fma(pr, w.re, -(pi * w.im));
            pi = std::fma(pi, w.re, pr * w.im);
            pr = next_re;
        }
        out[k] = ::logf((ar * ar + ai * ai) + power_floor);
    }
}

__attribute__((target("avx2,fma"))) void waterfall_row_avx2(const Complex* block, std::size_t len,
                                                            const Complex* steps, std::size_t n_bins, float* out) {
    constexpr std::size_t wide = 40;
    std::size_t k = 0;
    for (; k + wide <= n_bins; k += wide) bins_avx2<5>(block, len, steps + k, wide, out + k);
    for (; k < n_bins; k += 8) bins_avx2<1>(block, len, steps + k, std::min<std::size_t>(8, n_bins - k), out + k);
}

}  // namespace detail

void waterfall_row(const Complex* block, std::size_t len, const Complex* steps, std::size_t n_bins, float* out) {
    if (has_avx2) detail::waterfall_row_avx2(block, len, steps, n_bins, out);
    else detail::waterfall_row_portable(block, len, steps, n_bins, out);
}

Waterfall compute_waterfall(std::span<const Complex> iq, std::size_t block_len, std::size_t n_rows,
                            std::size_t n_bins, std::size_t start, float fs, float f0, float df) {
    std::size_t cells = 0;
    if (__builtin_mul_overflow(n_rows, n_bins, &cells)) throw std::length_error("waterfall grid too large");
    Waterfall grid{std::vector<float>(cells, 0.0f), n_rows, n_bins};
    if (cells == 0) return grid;
    const std::vector<Complex> steps = waterfall_steps(n_bins, fs, f0, df);
    for (std::size_t r = 0; r < n_rows; ++r) {
        // Row starts never decrease, so the first one past the end (or beyond a size) ends the work.
        std::size_t offset = 0, s = 0;
        if (__builtin_mul_overflow(r, block_len, &offset) || __builtin_add_overflow(start, offset, &s) ||
            s >= iq.size()) {
            break;
        }
        const std::size_t len = std::min(block_len, iq.size() - s);
        waterfall_row(iq.data() + s, len, steps.data(), n_bins, grid.data.data() + r * n_bins);
    }
    return grid;
}

}  // namespace kavro
