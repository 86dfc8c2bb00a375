#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/block.hpp"
#include "core/complex.hpp"
#include "core/constellation.hpp"

// Max-log soft demapping of equalised data cells and the error-vector magnitude of decided cells.
//
// LLRs are positive for bit 0 and come in the transmitter's bit order (real-axis bits first, most
// significant first, then the imaginary axis). BPSK gives 4·re and QPSK 4·√2 times each axis;
// square QAM gives, per axis bit, min (y - a)² over the levels a whose Gray index has the bit set
// minus the same minimum over the levels where it is clear. No noise scaling, no clipping.

namespace kavro {

class OfdmSoftDemod {
public:
    using Input = Complex;
    using Output = float;

    OfdmSoftDemod(std::size_t cells_per_block, ConstellationOrder constellation)
        : cells_(cells_per_block), constellation_(constellation) {}

    std::size_t input_block_size() const { return cells_; }
    std::size_t output_block_size() const { return cells_ * bits_per_cell(constellation_); }
    ConstellationOrder constellation() const { return constellation_; }

    // Writes the LLRs of the first block (cell i at i·k .. i·k + k - 1) and returns their count;
    // returns 0 and writes nothing when either slice is shorter than one block.
    std::size_t process(std::span<const Complex> input, std::span<float> output);

private:
    std::size_t cells_;
    ConstellationOrder constellation_;
};

// Writes bits_per_cell LLRs per cell for every cell (no block size; out must hold them all).
void soft_demap_cells(ConstellationOrder constellation, std::span<const Complex> cells, std::span<float> out);

// The four LLRs of one 256-QAM axis value, most significant bit first.
std::array<float, 4> qam_axis_soft_llr(float y);

// 10·log10(Σ|cell - ref|² / Σ|ref|²) in dB, ref being the points the bits map to. Nothing when
// there are no cells, the symbol count is 0, fewer than bits_per_cell bits per cell are given or
// the reference power is 0; surplus bits are ignored.
std::optional<float> evm_db(ConstellationOrder constellation, std::span<const Complex> cells,
                            std::span<const std::uint8_t> bits, std::size_t num_symbols);

}  // namespace kavro
