#include "multicarrier/vector_kernels.hpp"

#include "core/lanes.hpp"

namespace kavro::detail {

namespace {

using L = Lanes<8>;

const float* floats_of(const Complex* p) { return reinterpret_cast<const float*>(p); }
float* floats_of(Complex* p) { return reinterpret_cast<float*>(p); }

// dst[i] = op(src[i]) over `floats` floats, eight at a time, the rest one by one.
template <class Op>
[[gnu::always_inline]] inline void map_floats(const float* src, std::size_t floats, float* dst, Op op) {
    std::size_t i = 0;
    for (; i + L::count <= floats; i += L::count) L::store(dst + i, op(L::load(src + i)));
    for (; i < floats; ++i) dst[i] = op(src[i]);
}

}  // namespace

void copy_complex(const Complex* in, std::size_t n, Complex* out, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        map_floats(floats_of(in), 2 * n, floats_of(out), [](auto v) [[gnu::always_inline]] { return v; });
    });
}

void scale_complex(const Complex* in, std::size_t n, float a, Complex* out, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        map_floats(floats_of(in), 2 * n, floats_of(out), [a](auto v) [[gnu::always_inline]] { return v * a; });
    });
}

void scale_complex_twice(const Complex* in, std::size_t n, float a, float b, Complex* out, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        map_floats(floats_of(in), 2 * n, floats_of(out),
                   [a, b](auto v) [[gnu::always_inline]] { return (v * a) * b; });
    });
}

}  // namespace kavro::detail
