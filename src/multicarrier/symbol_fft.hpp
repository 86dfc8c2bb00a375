#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/fft_block.hpp"

// Receive transform of one CP-bearing symbol: drops the prefix and returns the n_fft unscaled
// bins. A window back-off of b starts the FFT window b samples early, inside the prefix, which
// turns bin k by e^(-2πi·k·b/N) for the equaliser to absorb.

namespace kavro {

class SymbolFft {
public:
    SymbolFft(std::size_t n_fft, std::size_t cp_len);

    std::size_t n_fft() const { return n_fft_; }
    std::size_t cp_len() const { return cp_len_; }
    std::size_t backoff() const { return backoff_; }

    // Stores min(requested, cp_len).
    void set_backoff(std::size_t requested);

    // samples start at the first prefix sample; nothing is done and nothing returned when they
    // hold fewer than n_fft + cp_len samples. The bins stay valid until the next call.
    std::optional<std::span<const Complex>> process_symbol(std::span<const Complex> samples);

private:
    FftBlock fft_;
    std::vector<Complex> output_;
    std::size_t n_fft_;
    std::size_t cp_len_;
    std::size_t backoff_ = 0;
};

}  // namespace kavro
