#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/block.hpp"
#include "core/complex.hpp"

// Raised-cosine taper of the edges of one CP-bearing symbol: taper[i] = 0.5·(1 - cos(π·(i+0.5)/R))
// for i < R (single precision); the head is multiplied by the rising taper and the tail by the
// mirrored one. It never reaches 0 or 1 exactly.

namespace kavro {

struct SymbolWindowError {
    std::size_t roll_off = 0;
    std::size_t block_len = 0;
};

std::string error_message(const SymbolWindowError& error);

// The taper values for a roll-off of R samples (empty for R = 0).
std::vector<float> symbol_taper(std::size_t roll_off);

// Multiplies symbol[i] and symbol[len-1-i] by taper[i], in that order, for each i; the taper
// must not be longer than the symbol (internal fault otherwise).
void apply_symbol_taper(std::span<Complex> symbol, std::span<const float> taper);

class SymbolWindow {
public:
    using Input = Complex;
    using Output = Complex;

    // Refuses a roll-off longer than the block.
    static std::expected<SymbolWindow, SymbolWindowError> create(std::size_t block_len, std::size_t roll_off);

    std::size_t input_block_size() const { return block_len_; }
    std::size_t output_block_size() const { return block_len_; }
    std::span<const float> taper() const { return taper_; }

    // Copies one block and tapers it; returns block_len, or 0 without touching anything when
    // either slice is shorter than a block.
    std::size_t process(std::span<const Complex> input, std::span<Complex> output);

private:
    SymbolWindow(std::size_t block_len, std::size_t roll_off) : taper_(symbol_taper(roll_off)), block_len_(block_len) {}

    std::vector<float> taper_;
    std::size_t block_len_;
};

static_assert(BlockStage<SymbolWindow>);

}  // namespace kavro
