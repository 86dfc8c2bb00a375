#include "sync/waterfall.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"
#include "core/lanes.hpp"

namespace kavro {

namespace {

constexpr float minus_two_pi = -6.2831855f;
constexpr float power_floor = 1e-12f;

constexpr std::size_t chunk_samples = 64;  // phasor table rows formed at a time, kept in L1

using L = Lanes<8>;

// The phasor recurrence of V vectors of eight bins: the steps w and the current phasors p.
template <int V>
struct BinPhasors {
    static constexpr std::size_t width = 8 * V;
    L::Floats wr[V], wi[V], pr[V], pi[V];

    // The steps of bins [0, count) of `steps` (count ≤ width; the lanes past it step by 0), every
    // phasor at 1.
    [[gnu::always_inline]] BinPhasors(const Complex* steps, std::size_t count) {
        float w_re[width] = {}, w_im[width] = {};
        for (std::size_t k = 0; k < count; ++k) {
            w_re[k] = steps[k].re;
            w_im[k] = steps[k].im;
        }
        for (int v = 0; v < V; ++v) {
            wr[v] = L::load(w_re + 8 * v);
            wi[v] = L::load(w_im + 8 * v);
            pr[v] = L::splat(1.0f);
            pi[v] = L::splat(0.0f);
        }
    }

    // Writes the phasors of the next `chunk` samples to `table` (per sample, width re then width
    // im) and advances them: p = (fma(p.re, w.re, -(p.im·w.im)), fma(p.im, w.re, p.re·w.im)).
    [[gnu::always_inline]] void tabulate(std::size_t chunk, float* table) {
        for (std::size_t n = 0; n < chunk; ++n) {
            for (int v = 0; v < V; ++v) {
                L::store(table + 2 * width * n + 8 * v, pr[v]);
                L::store(table + 2 * width * n + width + 8 * v, pi[v]);
                const L::Floats next_re = L::fused(pr[v], wr[v], -(pi[v] * wi[v]));
                pi[v] = L::fused(pi[v], wr[v], pr[v] * wi[v]);
                pr[v] = next_re;
            }
        }
    }
};

// Adds x·p of `count` samples x against the tabulated phasors to one row's accumulators (width
// re, then width im), in sample order.
template <int V>
[[gnu::always_inline]] inline void accumulate_row(const Complex* x, std::size_t count, const float* table,
                                                  float* row_acc) {
    constexpr std::size_t width = 8 * V;
    L::Floats ar[V], ai[V];
    for (int v = 0; v < V; ++v) {
        ar[v] = L::load(row_acc + 8 * v);
        ai[v] = L::load(row_acc + width + 8 * v);
    }
    for (std::size_t n = 0; n < count; ++n) {
        const L::Floats xr = L::splat(x[n].re), xi = L::splat(x[n].im);
        const float* p = table + 2 * width * n;
        for (int v = 0; v < V; ++v) {
            const L::Floats p_re = L::load(p + 8 * v), p_im = L::load(p + width + 8 * v);
            ar[v] = ar[v] + (xr * p_re - xi * p_im);
            ai[v] = ai[v] + (xr * p_im + xi * p_re);
        }
    }
    for (int v = 0; v < V; ++v) {
        L::store(row_acc + 8 * v, ar[v]);
        L::store(row_acc + width + 8 * v, ai[v]);
    }
}

// The cells of bins [first_bin, first_bin + count) of every row from its accumulators.
template <int V>
[[gnu::always_inline]] inline void write_cells(std::span<const WaterfallRow> rows, std::size_t first_bin,
                                               std::size_t count, const float* acc) {
    constexpr std::size_t width = 8 * V;
    float power[width];
    const float* row_acc = acc;
    for (const WaterfallRow& row : rows) {
        for (int v = 0; v < V; ++v) {
            const L::Floats ar = L::load(row_acc + 8 * v), ai = L::load(row_acc + width + 8 * v);
            L::store(power + 8 * v, (ar * ar + ai * ai) + power_floor);
        }
        for (std::size_t k = 0; k < count; ++k) row.out[first_bin + k] = ::logf(power[k]);
        row_acc += 2 * width;
    }
}

// Bins [0, count) of `steps` (count ≤ 8V) over every row, eight bins per vector and V vectors
// side by side. The phasors of the next chunk of samples are tabulated once (the recurrence is
// serial, so it runs once, not once per row), then each row adds x·p over the chunk into its
// accumulators, keeping each cell's additions in sample order. Each lane does exactly the scalar
// operations of its bin.
template <int V>
[[gnu::always_inline]] inline void bins(std::span<const WaterfallRow> rows, std::size_t first_bin,
                                        const Complex* steps, std::size_t count, float* acc, float* table) {
    constexpr std::size_t width = 8 * V;
    BinPhasors<V> phasors(steps, count);
    std::size_t longest = 0;
    for (const WaterfallRow& row : rows) longest = std::max(longest, row.len);
    std::fill(acc, acc + 2 * width * rows.size(), 0.0f);
    for (std::size_t n0 = 0; n0 < longest; n0 += chunk_samples) {
        const std::size_t chunk = std::min(chunk_samples, longest - n0);
        phasors.tabulate(chunk, table);
        float* row_acc = acc;
        for (const WaterfallRow& row : rows) {
            const std::size_t end = row.len > n0 ? std::min(chunk, row.len - n0) : 0;
            accumulate_row<V>(row.samples + n0, end, table, row_acc);
            row_acc += 2 * width;
        }
    }
    write_cells<V>(rows, first_bin, count, acc);
}

// Every bin over every row: wide groups of five vectors, then the remaining bins side by side as
// well, the last vector partly filled.
[[gnu::always_inline]] inline void all_bins(std::span<const WaterfallRow> rows, const Complex* steps,
                                            std::size_t n_bins, float* acc, float* table) {
    constexpr int vectors = 5;
    constexpr std::size_t wide = 8 * vectors;
    std::size_t k = 0;
    for (; k + wide <= n_bins; k += wide) bins<vectors>(rows, k, steps + k, wide, acc, table);
    const std::size_t rest = n_bins - k;
    switch ((rest + 7) / 8) {
        case 1: bins<1>(rows, k, steps + k, rest, acc, table); break;
        case 2: bins<2>(rows, k, steps + k, rest, acc, table); break;
        case 3: bins<3>(rows, k, steps + k, rest, acc, table); break;
        case 4: bins<4>(rows, k, steps + k, rest, acc, table); break;
        case 5: bins<5>(rows, k, steps + k, rest, acc, table); break;
        default: break;
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

void waterfall_rows(std::span<const WaterfallRow> rows, const Complex* steps, std::size_t n_bins, SimdLevel level) {
    if (rows.empty()) return;
    // Accumulators of every row (five vectors of re, then of im) and the phasor table of one chunk.
    constexpr std::size_t wide = 2 * 5 * L::count;
    std::vector<float> acc(wide * rows.size()), table(wide * chunk_samples);
    with_simd_level(level, [&] [[gnu::always_inline]] { all_bins(rows, steps, n_bins, acc.data(), table.data()); });
}

Waterfall compute_waterfall(std::span<const Complex> iq, std::size_t block_len, std::size_t n_rows,
                            std::size_t n_bins, std::size_t start, float fs, float f0, float df) {
    const std::optional<std::size_t> cells = checked_mul(n_rows, n_bins);
    if (!cells) throw std::length_error("waterfall grid too large");
    Waterfall grid{std::vector<float>(*cells, 0.0f), n_rows, n_bins};
    if (*cells == 0) return grid;
    const std::vector<Complex> steps = waterfall_steps(n_bins, fs, f0, df);
    std::vector<WaterfallRow> rows;
    for (std::size_t r = 0; r < n_rows; ++r) {
        // Row starts never decrease, so the first one past the end (or beyond a size) ends the rows.
        const std::optional<std::size_t> s =
            checked_mul(r, block_len).and_then([start](std::size_t offset) { return checked_add(start, offset); });
        if (!s || *s >= iq.size()) break;
        rows.push_back(WaterfallRow{iq.data() + *s, std::min(block_len, iq.size() - *s), grid.data.data() + r * n_bins});
    }
    waterfall_rows(rows, steps.data(), n_bins);
    return grid;
}

}  // namespace kavro
