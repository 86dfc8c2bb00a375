#pragma once

#include <cstddef>

#include "core/complex.hpp"
#include "core/simd_level.hpp"

// Copies and component-wise scalings of complex runs for the FFT stages and the modulator. Each
// component gets exactly the single-precision product of the scalar expression, so the result
// does not depend on the lane width or the build `level` runs. The AVX2 build moves 32 bytes at a
// time: that matches the access width of FFTW's AVX codelets, so stores feed the transform's loads
// (and the transform's stores feed ours) without store-forwarding stalls.

namespace kavro::detail {

// out[i] = in[i]
void copy_complex(const Complex* in, std::size_t n, Complex* out, SimdLevel level = best_simd_level());

// out[i] = in[i] * a
void scale_complex(const Complex* in, std::size_t n, float a, Complex* out, SimdLevel level = best_simd_level());

// out[i] = (in[i] * a) * b
void scale_complex_twice(const Complex* in, std::size_t n, float a, float b, Complex* out,
                         SimdLevel level = best_simd_level());

}  // namespace kavro::detail
