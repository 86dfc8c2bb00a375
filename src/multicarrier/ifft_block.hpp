#pragma once

#include <cstddef>
#include <span>

#include "core/block.hpp"
#include "core/complex.hpp"
#include "multicarrier/fftw_transform.hpp"

// Inverse FFT stage of one length N: x[t] = (1/N)·sum over k of X[k]·e^(+2πi·k·t/N), the scale
// applied as one single-precision product per component after the unnormalised transform.

namespace kavro {

class IfftBlock {
public:
    using Input = Complex;
    using Output = Complex;

    explicit IfftBlock(std::size_t n)
        : transform_(n, FftwTransform::Direction::Inverse), scale_(1.0f / static_cast<float>(n)) {}

    std::size_t size() const { return transform_.size(); }
    std::size_t input_block_size() const { return size(); }
    std::size_t output_block_size() const { return size(); }
    float scale() const { return scale_; }

    // Transforms the first N input values into the first N output positions (scaled) and
    // returns N; returns 0 and touches nothing when either slice holds fewer than N values.
    std::size_t process(std::span<const Complex> input, std::span<Complex> output);

    // The stage's own buffers, for callers that fill the spectrum in place: write input(), call
    // execute(), then read unscaled_output()[i] * scale().
    std::span<Complex> input() { return transform_.input(); }
    void execute() { transform_.execute(); }
    std::span<const Complex> unscaled_output() const { return transform_.output(); }

private:
    FftwTransform transform_;
    float scale_;
};

static_assert(BlockStage<IfftBlock>);

}  // namespace kavro
