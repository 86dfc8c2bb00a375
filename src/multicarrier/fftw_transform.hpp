#pragma once

#include <cstddef>
#include <span>

#include "core/complex.hpp"

// One FFTW single-precision transform of a fixed length with its own aligned input and output
// buffers. The plan is made once (FFTW_ESTIMATE) on exactly these buffers and only ever executed
// on them: a plan run on differently aligned memory may take other code paths and change the
// low bits of the result. Both directions are unnormalised. Length 0 has no plan.
//
// Planning is not thread-safe in FFTW; every caller runs under the Python interpreter lock.

namespace kavro {

class FftwTransform {
public:
    enum class Direction { Forward, Inverse };

    FftwTransform(std::size_t n, Direction direction);
    FftwTransform(const FftwTransform& other);  // plans afresh for its own buffers
    FftwTransform(FftwTransform&& other) noexcept;
    FftwTransform& operator=(FftwTransform other) noexcept;
    ~FftwTransform();

    std::size_t size() const { return n_; }
    Direction direction() const { return direction_; }

    std::span<Complex> input() { return {in_, n_}; }
    std::span<const Complex> output() const { return {out_, n_}; }

    // Transforms input() into output(); input() may be overwritten.
    void execute();

private:
    void swap(FftwTransform& other) noexcept;

    std::size_t n_ = 0;
    Direction direction_ = Direction::Forward;
    Complex* in_ = nullptr;
    Complex* out_ = nullptr;
    void* plan_ = nullptr;  // fftwf_plan
};

}  // namespace kavro
