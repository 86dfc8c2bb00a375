#pragma once

#include <cstdint>
#include <type_traits>

// Vector kernels, and loops built on std::fma, are built twice: once for the baseline x86-64
// instruction set (the portable build, which runs everywhere) and once for AVX2 with FMA. A
// kernel's entry point takes the level to run at, defaulting to the best this CPU offers, so that
// tests can run every build on the same inputs; each build is the same source compiled for its
// target and gives the same bits. std::fma is a call into the maths library in the portable build
// and one instruction in the other; both round once.
//
// The rule: write the kernel once, as a lambda marked [[gnu::always_inline]] (or a body of
// always_inline helpers), and run it through with_simd_level. The lambda is then inlined into,
// and compiled for, each build, and the choice costs one branch per call, none inside the loop.
//
//     void scale(std::span<float> x, float a, SimdLevel level) {
//         with_simd_level(level, [&] [[gnu::always_inline]] { for (float& v : x) v *= a; });
//     }
//
// A kernel that needs to know its build (to pick a vector type that suits it) takes one
// parameter, `[&] [[gnu::always_inline]] (auto at) { ... }`, and is handed SimdLevelTag<level>;
// `at` converts to the SimdLevel at compile time.
// Such a kernel can hold eight lanes as LaneHalves (core/lane_halves.hpp) in the portable build,
// where GCC would compare and select a 32-byte vector one element at a time.

namespace kavro {

enum class SimdLevel : std::uint8_t { Portable, Avx2 };

// The best level this CPU supports, read once.
inline SimdLevel best_simd_level() {
    static const SimdLevel level = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? SimdLevel::Avx2
                                                                                : SimdLevel::Portable;
    }();
    return level;
}

// Every level this CPU can run, the portable one first.
inline constexpr SimdLevel simd_levels[] = {SimdLevel::Portable, SimdLevel::Avx2};
inline bool simd_level_available(SimdLevel level) {
    return level == SimdLevel::Portable || best_simd_level() == SimdLevel::Avx2;
}

}  // namespace kavro

// Marks the AVX2 build of a kernel.
#define KAVRO_TARGET_AVX2 [[gnu::target("avx2,fma")]]

namespace kavro {

template <SimdLevel Level>
using SimdLevelTag = std::integral_constant<SimdLevel, Level>;

namespace simd_detail {

template <SimdLevel Level, class Kernel>
[[gnu::always_inline]] inline decltype(auto) call(Kernel& kernel) {
    if constexpr (std::is_invocable_v<Kernel&, SimdLevelTag<Level>>)
        return kernel(SimdLevelTag<Level>{});
    else
        return kernel();
}

template <class Kernel>
decltype(auto) run_portable(Kernel& kernel) {
    return call<SimdLevel::Portable>(kernel);
}

template <class Kernel>
KAVRO_TARGET_AVX2 decltype(auto) run_avx2(Kernel& kernel) {
    return call<SimdLevel::Avx2>(kernel);
}

}  // namespace simd_detail

// Runs `kernel` in the build of `level` and returns what it returns. Asking for a level the CPU
// lacks is the caller's fault (see simd_level_available).
template <class Kernel>
decltype(auto) with_simd_level(SimdLevel level, Kernel&& kernel) {
    if (level == SimdLevel::Avx2) return simd_detail::run_avx2(kernel);
    return simd_detail::run_portable(kernel);
}

}  // namespace kavro
