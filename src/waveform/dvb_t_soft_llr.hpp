#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

// Max-log soft demapping of one equalised DVB-T cell. Each axis carries h = B/2 bits whose index
// (most significant first) selects the DVB-T level
//   QPSK +1, -1;  16-QAM +3, +1, -3, -1;  64-QAM +7, +5, +1, +3, -7, -5, -1, -3,
// times 1/sqrt(2(M-1)/3). The LLR of an axis bit is D1 - D0, the smallest squared distance to a
// level whose bit is 1 minus the smallest to one whose bit is 0, not divided by a noise variance:
// positive favours 0, and a value at or below 0 decides 1. The output interleaves the axes bit by
// bit: I0, Q0, I1, Q1, I2, Q2.

namespace kavro::waveform {

// bits_per_cell values, or nothing unless bits_per_cell is 2, 4 or 6.
std::optional<std::vector<float>> dvb_t_soft_llr(Complex cell, std::size_t bits_per_cell);

// The same values written to out[0 .. bits_per_cell); returns false and writes nothing unless
// bits_per_cell is 2, 4 or 6 and out holds that many values.
bool dvb_t_soft_llr_into(Complex cell, std::size_t bits_per_cell, std::span<float> out);

// The values of every cell, cell after cell, into out[0 .. cells.size()·bits_per_cell); returns
// false and writes nothing unless bits_per_cell is 2, 4 or 6 and out holds that many values.
bool dvb_t_soft_llr_cells(std::span<const Complex> cells, std::size_t bits_per_cell, std::span<float> out,
                          SimdLevel level = best_simd_level());

// The same with cell c's values multiplied by weights[c] (a receiver's channel-state weighting:
// a cell read from a faded carrier counts for less); false and nothing written also when there
// are fewer weights than cells.
bool dvb_t_soft_llr_weighted_cells(std::span<const Complex> cells, std::span<const float> weights,
                                   std::size_t bits_per_cell, std::span<float> out,
                                   SimdLevel level = best_simd_level());

// The scaled level of an axis index for bits_per_cell 2, 4 or 6 (index below 2^(bits_per_cell/2));
// 0 for anything else.
float dvb_t_axis_level(std::size_t bits_per_cell, unsigned index);

}  // namespace kavro::waveform
