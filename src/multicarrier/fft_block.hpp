#pragma once

#include <cstddef>
#include <span>

#include "core/block.hpp"
#include "core/complex.hpp"
#include "multicarrier/fftw_transform.hpp"

// FFT stage of one length N in either direction:
//   forward (FftBlock): X[k] = sum over t of x[t]·e^(-2πi·k·t/N), unscaled;
//   inverse (IfftBlock, in ifft_block.hpp): x[t] = (1/N)·sum over k of X[k]·e^(+2πi·k·t/N), the
//   scale applied as one single-precision product per component after the unnormalised transform.

namespace kavro {

template <FftwTransform::Direction D>
class FftStage {
public:
    using Input = Complex;
    using Output = Complex;
    static constexpr bool inverse = D == FftwTransform::Direction::Inverse;

    explicit FftStage(std::size_t n) : transform_(n, D), scale_(1.0f / static_cast<float>(n)) {}

    std::size_t size() const { return transform_.size(); }
    std::size_t input_block_size() const { return size(); }
    std::size_t output_block_size() const { return size(); }
    float scale() const requires inverse { return scale_; }

    // Transforms the first N input values into the first N output positions (scaled, inverse)
    // and returns N; returns 0 and touches nothing when either slice holds fewer than N values.
    std::size_t process(std::span<const Complex> input, std::span<Complex> output);

    // The stage's own buffers, for callers that fill the input in place: write input(), call
    // execute(), then read output() (forward) or unscaled_output()[i] * scale() (inverse).
    std::span<Complex> input() { return transform_.input(); }
    void execute() { transform_.execute(); }
    std::span<const Complex> output() const requires (!inverse) { return transform_.output(); }
    std::span<const Complex> unscaled_output() const requires inverse { return transform_.output(); }

private:
    FftwTransform transform_;
    float scale_;
};

using FftBlock = FftStage<FftwTransform::Direction::Forward>;

static_assert(BlockStage<FftBlock>);

}  // namespace kavro
