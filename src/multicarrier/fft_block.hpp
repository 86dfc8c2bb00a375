#pragma once

#include <cstddef>
#include <span>

#include "core/block.hpp"
#include "core/complex.hpp"
#include "multicarrier/fftw_transform.hpp"

// Forward FFT stage of one length N: X[k] = sum over t of x[t]·e^(-2πi·k·t/N), unscaled.

namespace kavro {

class FftBlock {
public:
    using Input = Complex;
    using Output = Complex;

    explicit FftBlock(std::size_t n) : transform_(n, FftwTransform::Direction::Forward) {}

    std::size_t size() const { return transform_.size(); }
    std::size_t input_block_size() const { return size(); }
    std::size_t output_block_size() const { return size(); }

    // Transforms the first N input values into the first N output positions and returns N;
    // returns 0 and touches nothing when either slice holds fewer than N values.
    std::size_t process(std::span<const Complex> input, std::span<Complex> output);

    // The stage's own buffers, for callers that fill the input in place: write input(), call
    // execute(), read output().
    std::span<Complex> input() { return transform_.input(); }
    void execute() { transform_.execute(); }
    std::span<const Complex> output() const { return transform_.output(); }

private:
    FftwTransform transform_;
};

static_assert(BlockStage<FftBlock>);

}  // namespace kavro
