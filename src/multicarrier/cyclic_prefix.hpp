#pragma once

#include <cstddef>
#include <span>

#include "core/complex.hpp"

namespace kavro {

// Writes the last cp_len samples of the symbol and then the whole symbol; returns the number
// written (symbol length + cp_len), or 0 without writing when the output is too short.
// cp_len must not exceed the symbol length (internal fault otherwise).
std::size_t add_cyclic_prefix(std::span<const Complex> symbol, std::size_t cp_len, std::span<Complex> output);

// Copies the n_fft samples that follow a cp_len prefix into the first n_fft output positions and
// returns n_fft; returns 0 and leaves the output unchanged when either slice is too short.
std::size_t remove_cyclic_prefix(std::span<const Complex> symbol, std::size_t n_fft, std::size_t cp_len,
                                 std::span<Complex> output);

}  // namespace kavro
