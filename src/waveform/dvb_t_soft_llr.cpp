#include "waveform/dvb_t_soft_llr.hpp"

#include <algorithm>
#include <array>

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

// Writes the H LLRs of one axis value to out[0], out[2], out[4], ...
template <unsigned H>
void axis_llrs(float y, float* out) {
    constexpr unsigned count = 1u << H;
    const auto& levels = levels_of<H>();
    const float scale = level_scale[H - 1];
    std::array<float, count> d{};
    for (unsigned j = 0; j < count; ++j) {
        const float e = y - scale * levels[j];
        d[j] = e * e;
    }
    for (unsigned i = 0; i < H; ++i) {
        const unsigned mask = 1u << (H - 1 - i);
        float d0 = d[0], d1 = d[mask];
        for (unsigned j = 0; j < count; ++j) {
            if (j & mask) d1 = std::min(d1, d[j]);
            else d0 = std::min(d0, d[j]);
        }
        out[2 * i] = d1 - d0;
    }
}

template <unsigned H>
void cell_llrs(Complex cell, float* out) {
    axis_llrs<H>(cell.re, out);
    axis_llrs<H>(cell.im, out + 1);
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
