#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

// A time-frequency grid of log powers: one row per block of consecutive samples, one bin per
// analysis frequency f0 + k·df. Every cell is a direct single-frequency Fourier sum over its
// block, evaluated by a phasor recurrence (the frequencies need not fall on an FFT grid):
//     cell(r, k) = ln(|Σ_n x[s + n]·e^(-j·2π·(f0 + k·df)·n / fs)|² + 1e-12),  s = start + r·block_len,
// over the samples of the block that exist. A row starting at or past the end of the input (or
// whose start does not fit in a size) holds 0.0 in every bin.

namespace kavro {

struct Waterfall {
    std::vector<float> data;  // row-major by time: cell (r, k) is data[r·n_bins + k]
    std::size_t n_rows = 0;
    std::size_t n_bins = 0;

    // The cell of (row, bin); an index outside the grid is an internal fault.
    float at(std::size_t row, std::size_t bin) const;
};

// Always returns n_rows × n_bins cells, whatever the length of `iq`. A grid whose size does not
// fit in memory throws std::length_error or std::bad_alloc.
Waterfall compute_waterfall(std::span<const Complex> iq, std::size_t block_len, std::size_t n_rows,
                            std::size_t n_bins, std::size_t start, float fs, float f0, float df);

// The phasor step of each bin: θ(k) = ((f0 + df·k) · -2π) / fs, each operation rounded to single
// precision, then cos θ + j·sin θ from one combined evaluation.
std::vector<Complex> waterfall_steps(std::size_t n_bins, float fs, float f0, float df);

// One row to compute: `len` samples from `samples`, its cells written to `out`.
struct WaterfallRow {
    const Complex* samples = nullptr;
    std::size_t len = 0;
    float* out = nullptr;
};

// The cells of `n_bins` bins in each of `rows`. Within a cell, sample by sample: a += x·p from
// four rounded products, then p = (fma(p.re, w.re, -(p.im·w.im)), fma(p.im, w.re, p.re·w.im))
// with the inner products rounded; the cell is logf((a.re² + a.im²) + 1e-12). The phasor
// sequence of a bin starts at 1 in every row, so it is formed once per call and shared by all
// rows. `level` picks the build of the loops; every level gives the same bits.
void waterfall_rows(std::span<const WaterfallRow> rows, const Complex* steps, std::size_t n_bins,
                    SimdLevel level = best_simd_level());

}  // namespace kavro
