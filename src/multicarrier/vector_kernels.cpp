#include "multicarrier/vector_kernels.hpp"

#include <cstring>

namespace kavro::detail {

namespace {

typedef float Float4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));

// Read once at load time; __builtin_cpu_init makes the query safe before other initialisers.
bool detect_avx() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}

const bool has_avx = detect_avx();

const float* floats_of(const Complex* p) { return reinterpret_cast<const float*>(p); }
float* floats_of(Complex* p) { return reinterpret_cast<float*>(p); }

// The loops are written out per lane width: a vector crossing a function boundary would need
// the AVX calling convention in code built without it.

__attribute__((target("avx"))) void copy_avx(const float* src, std::size_t floats, float* dst) {
    std::size_t i = 0;
    for (; i + 8 <= floats; i += 8) {
        Float8 v;
        std::memcpy(&v, src + i, sizeof v);
        std::memcpy(dst + i, &v, sizeof v);
    }
    for (; i < floats; ++i) dst[i] = src[i];
}

__attribute__((target("avx"))) void scale_avx(const float* src, std::size_t floats, float a, float* dst) {
    std::size_t i = 0;
    for (; i + 8 <= floats; i += 8) {
        Float8 v;
        std::memcpy(&v, src + i, sizeof v);
        v = v * a;
        std::memcpy(dst + i, &v, sizeof v);
    }
    for (; i < floats; ++i) dst[i] = src[i] * a;
}

__attribute__((target("avx"))) void scale_twice_avx(const float* src, std::size_t floats, float a, float b,
                                                    float* dst) {
    std::size_t i = 0;
    for (; i + 8 <= floats; i += 8) {
        Float8 v;
        std::memcpy(&v, src + i, sizeof v);
        v = (v * a) * b;
        std::memcpy(dst + i, &v, sizeof v);
    }
    for (; i < floats; ++i) dst[i] = (src[i] * a) * b;
}

void scale_sse(const float* src, std::size_t floats, float a, float* dst) {
    std::size_t i = 0;
    for (; i + 4 <= floats; i += 4) {
        Float4 v;
        std::memcpy(&v, src + i, sizeof v);
        v = v * a;
        std::memcpy(dst + i, &v, sizeof v);
    }
    for (; i < floats; ++i) dst[i] = src[i] * a;
}

void scale_twice_sse(const float* src, std::size_t floats, float a, float b, float* dst) {
    std::size_t i = 0;
    for (; i + 4 <= floats; i += 4) {
        Float4 v;
        std::memcpy(&v, src + i, sizeof v);
        v = (v * a) * b;
        std::memcpy(dst + i, &v, sizeof v);
    }
    for (; i < floats; ++i) dst[i] = (src[i] * a) * b;
}

}  // namespace

void copy_complex(const Complex* in, std::size_t n, Complex* out) {
    if (has_avx) {
        copy_avx(floats_of(in), 2 * n, floats_of(out));
    } else {
        std::memcpy(out, in, n * sizeof(Complex));
    }
}

void scale_complex(const Complex* in, std::size_t n, float a, Complex* out) {
    if (has_avx) {
        scale_avx(floats_of(in), 2 * n, a, floats_of(out));
    } else {
        scale_sse(floats_of(in), 2 * n, a, floats_of(out));
    }
}

void scale_complex_twice(const Complex* in, std::size_t n, float a, float b, Complex* out) {
    if (has_avx) {
        scale_twice_avx(floats_of(in), 2 * n, a, b, floats_of(out));
    } else {
        scale_twice_sse(floats_of(in), 2 * n, a, b, floats_of(out));
    }
}

}  // namespace kavro::detail
