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

// Read once at load time; __builtin_cpu_init makes the query safe before other initialisers.
bool detect_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

const bool has_avx2 = detect_avx2();

constexpr std::size_t chunk_samples = 64;  // phasor table rows formed at a time, kept in L1

// Bins [0, count) of `steps` (count ≤ 8V) over every row, eight bins per vector and V vectors
// side by side. The phasors of the next chunk of samples are tabulated once (the recurrence is
// serial, so it runs once, not once per row), then each row adds x·p over the chunk into its
// accumulators, keeping each cell's additions in sample order. Each lane does exactly the scalar
// operations of its bin.
template <int V>
__attribute__((target("avx2,fma"), always_inline)) inline void bins_avx2(std::span<const WaterfallRow> rows,
                                                                         std::size_t first_bin, const Complex* steps,
                                                                         std::size_t count, float* acc,
                                                                         float* table) {
    constexpr std::size_t width = 8 * V;
    alignas(32) float w_re[width] = {}, w_im[width] = {};
    for (std::size_t k = 0; k < count; ++k) {
        w_re[k] = steps[k].re;
        w_im[k] = steps[k].im;
    }
    __m256 wr[V], wi[V], pr[V], pi[V];
    for (int v = 0; v < V; ++v) {
        wr[v] = _mm256_load_ps(w_re + 8 * v);
        wi[v] = _mm256_load_ps(w_im + 8 * v);
        pr[v] = _mm256_set1_ps(1.0f);
        pi[v] = _mm256_setzero_ps();
    }
    std::size_t longest = 0;
    for (const WaterfallRow& row : rows) longest = std::max(longest, row.len);
    std::fill(acc, acc + 2 * width * rows.size(), 0.0f);
    for (std::size_t n0 = 0; n0 < longest; n0 += chunk_samples) {
        const std::size_t chunk = std::min(chunk_samples, longest - n0);
        for (std::size_t n = 0; n < chunk; ++n) {
            for (int v = 0; v < V; ++v) {
                _mm256_store_ps(table + 2 * width * n + 8 * v, pr[v]);
                _mm256_store_ps(table + 2 * width * n + width + 8 * v, pi[v]);
                const __m256 next_re = _mm256_fmsub_ps(pr[v], wr[v], _mm256_mul_ps(pi[v], wi[v]));
                pi[v] = _mm256_fmadd_ps(pi[v], wr[v], _mm256_mul_ps(pr[v], wi[v]));
                pr[v] = next_re;
            }
        }
        float* row_acc = acc;
        for (const WaterfallRow& row : rows) {
            const std::size_t end = row.len > n0 ? std::min(chunk, row.len - n0) : 0;
            __m256 ar[V], ai[V];
            for (int v = 0; v < V; ++v) {
                ar[v] = _mm256_load_ps(row_acc + 8 * v);
                ai[v] = _mm256_load_ps(row_acc + width + 8 * v);
            }
            const Complex* x = row.samples + n0;
            for (std::size_t n = 0; n < end; ++n) {
                const __m256 xr = _mm256_set1_ps(x[n].re), xi = _mm256_set1_ps(x[n].im);
                const float* p = table + 2 * width * n;
                for (int v = 0; v < V; ++v) {
                    const __m256 p_re = _mm256_load_ps(p + 8 * v), p_im = _mm256_load_ps(p + width + 8 * v);
                    ar[v] = _mm256_add_ps(ar[v], _mm256_sub_ps(_mm256_mul_ps(xr, p_re), _mm256_mul_ps(xi, p_im)));
                    ai[v] = _mm256_add_ps(ai[v], _mm256_add_ps(_mm256_mul_ps(xr, p_im), _mm256_mul_ps(xi, p_re)));
                }
            }
            for (int v = 0; v < V; ++v) {
                _mm256_store_ps(row_acc + 8 * v, ar[v]);
                _mm256_store_ps(row_acc + width + 8 * v, ai[v]);
            }
            row_acc += 2 * width;
        }
    }
    const __m256 floor = _mm256_set1_ps(power_floor);
    alignas(32) float power[width];
    const float* row_acc = acc;
    for (const WaterfallRow& row : rows) {
        for (int v = 0; v < V; ++v) {
            const __m256 ar = _mm256_load_ps(row_acc + 8 * v), ai = _mm256_load_ps(row_acc + width + 8 * v);
            const __m256 sq = _mm256_add_ps(_mm256_mul_ps(ar, ar), _mm256_mul_ps(ai, ai));
            _mm256_store_ps(power + 8 * v, _mm256_add_ps(sq, floor));
        }
        for (std::size_t k = 0; k < count; ++k) row.out[first_bin + k] = ::logf(power[k]);
        row_acc += 2 * width;
    }
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

void waterfall_rows_portable(std::span<const WaterfallRow> rows, const Complex* steps, std::size_t n_bins) {
    for (const WaterfallRow& row : rows) {
        for (std::size_t k = 0; k < n_bins; ++k) {
            const Complex w = steps[k];
            float pr = 1.0f, pi = 0.0f, ar = 0.0f, ai = 0.0f;
            for (std::size_t n = 0; n < row.len; ++n) {
                const Complex x = row.samples[n];
                ar = ar + (x.re * pr - x.im * pi);
                ai = ai + (x.re * pi + x.im * pr);
                const float next_re = std::fma(pr, w.re, -(pi * w.im));
                pi = std::fma(pi, w.re, pr * w.im);
                pr = next_re;
            }
            row.out[k] = ::logf((ar * ar + ai * ai) + power_floor);
        }
    }
}

__attribute__((target("avx2,fma"))) void waterfall_rows_avx2(std::span<const WaterfallRow> rows,
                                                             const Complex* steps, std::size_t n_bins) {
    if (rows.empty()) return;
    constexpr int vectors = 5;
    constexpr std::size_t wide = 8 * vectors;
    // Accumulators of every row and the phasor table of one chunk, re and im halves side by side.
    struct alignas(32) Lanes {
        float values[8];
    };
    std::vector<Lanes> acc(2 * vectors * rows.size()), table(2 * vectors * chunk_samples);
    float* const a = reinterpret_cast<float*>(acc.data());
    float* const t = reinterpret_cast<float*>(table.data());
    std::size_t k = 0;
    for (; k + wide <= n_bins; k += wide) bins_avx2<vectors>(rows, k, steps + k, wide, a, t);
    // The remaining bins side by side as well, the last vector partly filled.
    const std::size_t rest = n_bins - k;
    switch ((rest + 7) / 8) {
        case 1: bins_avx2<1>(rows, k, steps + k, rest, a, t); break;
        case 2: bins_avx2<2>(rows, k, steps + k, rest, a, t); break;
        case 3: bins_avx2<3>(rows, k, steps + k, rest, a, t); break;
        case 4: bins_avx2<4>(rows, k, steps + k, rest, a, t); break;
        case 5: bins_avx2<5>(rows, k, steps + k, rest, a, t); break;
        default: break;
    }
}

}  // namespace detail

void waterfall_rows(std::span<const WaterfallRow> rows, const Complex* steps, std::size_t n_bins) {
    if (has_avx2) detail::waterfall_rows_avx2(rows, steps, n_bins);
    else detail::waterfall_rows_portable(rows, steps, n_bins);
}

Waterfall compute_waterfall(std::span<const Complex> iq, std::size_t block_len, std::size_t n_rows,
                            std::size_t n_bins, std::size_t start, float fs, float f0, float df) {
    std::size_t cells = 0;
    if (__builtin_mul_overflow(n_rows, n_bins, &cells)) throw std::length_error("waterfall grid too large");
    Waterfall grid{std::vector<float>(cells, 0.0f), n_rows, n_bins};
    if (cells == 0) return grid;
    const std::vector<Complex> steps = waterfall_steps(n_bins, fs, f0, df);
    std::vector<WaterfallRow> rows;
    for (std::size_t r = 0; r < n_rows; ++r) {
        // Row starts never decrease, so the first one past the end (or beyond a size) ends the rows.
        std::size_t offset = 0, s = 0;
        if (__builtin_mul_overflow(r, block_len, &offset) || __builtin_add_overflow(start, offset, &s) ||
            s >= iq.size()) {
            break;
        }
        rows.push_back(WaterfallRow{iq.data() + s, std::min(block_len, iq.size() - s), grid.data.data() + r * n_bins});
    }
    waterfall_rows(rows, steps.data(), n_bins);
    return grid;
}

}  // namespace kavro
