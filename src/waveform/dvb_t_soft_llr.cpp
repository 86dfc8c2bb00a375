#include "waveform/dvb_t_soft_llr.hpp"

#include <algorithm>
#include <array>

#include "core/lanes.hpp"

namespace kavro::waveform {

namespace {

// Level lists by bits per axis (1, 2, 3), index order.
constexpr std::array<float, 2> qpsk_levels{1.0f, -1.0f};
constexpr std::array<float, 4> qam16_levels{3.0f, 1.0f, -3.0f, -1.0f};
constexpr std::array<float, 8> qam64_levels{7.0f, 5.0f, 1.0f, 3.0f, -7.0f, -5.0f, -1.0f, -3.0f};

// 1/sqrt(2(M-1)/3) for M = 4, 16, 64, rounded from double.
constexpr std::array<float, 3> level_scale{static_cast<float>(0.70710678118654752), static_cast<float>(0.31622776601683794),
                                           static_cast<float>(0.15430334996209191)};

template <unsigned H>
constexpr const auto& levels_of() {
    if constexpr (H == 1) return qpsk_levels;
    else if constexpr (H == 2) return qam16_levels;
    else return qam64_levels;
}

// For axis bit i and value v, the level indices whose bit i (most significant first) is v.
template <unsigned H>
constexpr auto index_groups = [] {
    constexpr unsigned half = 1u << (H - 1);
    std::array<std::array<std::array<unsigned, half>, 2>, H> groups{};
    for (unsigned i = 0; i < H; ++i) {
        std::array<unsigned, 2> filled{};
        for (unsigned j = 0; j < (1u << H); ++j) {
            const unsigned v = (j >> (H - 1 - i)) & 1u;
            groups[i][v][filled[v]++] = j;
        }
    }
    return groups;
}();

template <unsigned H, std::size_t N>
[[gnu::always_inline]] inline float smallest(const std::array<float, 1u << H>& d, const std::array<unsigned, N>& indices) {
    float m = d[indices[0]];
    for (std::size_t k = 1; k < N; ++k) m = std::min(m, d[indices[k]]);
    return m;
}

// Writes the H LLRs of one axis value to out[0], out[2], out[4], ...
template <unsigned H>
[[gnu::always_inline]] inline void axis_llrs(float y, float* out) {
    constexpr unsigned count = 1u << H;
    const auto& levels = levels_of<H>();
    const float scale = level_scale[H - 1];
    std::array<float, count> d{};
    for (unsigned j = 0; j < count; ++j) {
        const float e = y - scale * levels[j];
        d[j] = e * e;
    }
    for (unsigned i = 0; i < H; ++i)
        out[2 * i] = smallest<H>(d, index_groups<H>[i][1]) - smallest<H>(d, index_groups<H>[i][0]);
}

template <unsigned H>
void cell_llrs(Complex cell, float* out) {
    axis_llrs<H>(cell.re, out);
    axis_llrs<H>(cell.im, out + 1);
}

// Every cell's values, each times its weight when there are weights.
template <unsigned H>
void cells_llrs(std::span<const Complex> cells, const float* weights, float* out) {
    for (std::size_t c = 0; c < cells.size(); ++c) {
        cell_llrs<H>(cells[c], out);
        if (weights != nullptr)
            for (unsigned i = 0; i < 2 * H; ++i) out[i] = out[i] * weights[c];
        out += 2 * H;
    }
}

// Cells per step: a whole AVX register, or an SSE one in the portable build, where GCC would
// compare a 32-byte vector lane by lane.
template <SimdLevel Level>
constexpr std::size_t lane_width = Level == SimdLevel::Avx2 ? 8 : 4;

// The scalar loop's operations on N cells at once, one per lane, in the same order: the level
// products are the same single-precision constants and the minimum keeps the first operand
// unless the second is smaller, as std::min does.
template <unsigned H, std::size_t N>
[[gnu::always_inline]] inline void lanes_axis(typename Lanes<N>::Floats y, typename Lanes<N>::Floats weight,
                                              float (&out)[H][N]) {
    using F = typename Lanes<N>::Floats;
    constexpr unsigned count = 1u << H;
    const auto& levels = levels_of<H>();
    const float scale = level_scale[H - 1];
    F d[count];
    for (unsigned j = 0; j < count; ++j) {
        const F e = y - scale * levels[j];
        d[j] = e * e;
    }
    for (unsigned i = 0; i < H; ++i) {
        F m[2];
        for (unsigned v = 0; v < 2; ++v) {
            const auto& group = index_groups<H>[i][v];
            m[v] = d[group[0]];
            for (std::size_t k = 1; k < group.size(); ++k) m[v] = d[group[k]] < m[v] ? d[group[k]] : m[v];
        }
        Lanes<N>::store(out[i], (m[1] - m[0]) * weight);
    }
}

// Unweighted cells go through the same kernel with weight 1, which leaves every value unchanged.
template <unsigned H, std::size_t N>
[[gnu::always_inline]] inline void lanes_cells(std::span<const Complex> cells, const float* weights, float* out) {
    std::size_t c = 0;
    for (; c + N <= cells.size(); c += N) {
        typename Lanes<N>::Floats re, im;
        for (std::size_t lane = 0; lane < N; ++lane) {
            re[lane] = cells[c + lane].re;
            im[lane] = cells[c + lane].im;
        }
        const auto weight = weights != nullptr ? Lanes<N>::load(weights + c) : Lanes<N>::splat(1.0f);
        float i_llrs[H][N], q_llrs[H][N];
        lanes_axis<H, N>(re, weight, i_llrs);
        lanes_axis<H, N>(im, weight, q_llrs);
        for (std::size_t lane = 0; lane < N; ++lane)
            for (unsigned i = 0; i < H; ++i) {
                out[(c + lane) * 2 * H + 2 * i] = i_llrs[i][lane];
                out[(c + lane) * 2 * H + 2 * i + 1] = q_llrs[i][lane];
            }
    }
    cells_llrs<H>(cells.subspan(c), weights != nullptr ? weights + c : nullptr, out + c * 2 * H);
}

bool fits(std::span<const Complex> cells, std::size_t bits_per_cell, std::span<float> out) {
    return (bits_per_cell == 2 || bits_per_cell == 4 || bits_per_cell == 6) && out.size() / bits_per_cell >= cells.size();
}

void any_cells(std::span<const Complex> cells, const float* weights, std::size_t bits_per_cell, float* out,
               SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] (auto at) {
        constexpr std::size_t n = lane_width<at>;
        if (bits_per_cell == 2) lanes_cells<1, n>(cells, weights, out);
        else if (bits_per_cell == 4) lanes_cells<2, n>(cells, weights, out);
        else lanes_cells<3, n>(cells, weights, out);
    });
}

}  // namespace

bool dvb_t_soft_llr_into(Complex cell, std::size_t bits_per_cell, std::span<float> out) {
    if (out.size() < bits_per_cell) return false;
    switch (bits_per_cell) {
        case 2: cell_llrs<1>(cell, out.data()); return true;
        case 4: cell_llrs<2>(cell, out.data()); return true;
        case 6: cell_llrs<3>(cell, out.data()); return true;
        default: return false;
    }
}

bool dvb_t_soft_llr_cells(std::span<const Complex> cells, std::size_t bits_per_cell, std::span<float> out,
                          SimdLevel level) {
    if (!fits(cells, bits_per_cell, out)) return false;
    any_cells(cells, nullptr, bits_per_cell, out.data(), level);
    return true;
}

bool dvb_t_soft_llr_weighted_cells(std::span<const Complex> cells, std::span<const float> weights,
                                   std::size_t bits_per_cell, std::span<float> out, SimdLevel level) {
    if (!fits(cells, bits_per_cell, out) || weights.size() < cells.size()) return false;
    any_cells(cells, weights.data(), bits_per_cell, out.data(), level);
    return true;
}

std::optional<std::vector<float>> dvb_t_soft_llr(Complex cell, std::size_t bits_per_cell) {
    std::vector<float> llrs(bits_per_cell);
    if (!dvb_t_soft_llr_into(cell, bits_per_cell, llrs)) return std::nullopt;
    return llrs;
}

float dvb_t_axis_level(std::size_t bits_per_cell, unsigned index) {
    switch (bits_per_cell) {
        case 2: return index < 2 ? level_scale[0] * qpsk_levels[index] : 0.0f;
        case 4: return index < 4 ? level_scale[1] * qam16_levels[index] : 0.0f;
        case 6: return index < 8 ? level_scale[2] * qam64_levels[index] : 0.0f;
        default: return 0.0f;
    }
}

}  // namespace kavro::waveform
