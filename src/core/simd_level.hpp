#pragma once

#include <cstdint>

// Vector kernels are built twice: once for the baseline x86-64 instruction set (the portable
// build, which runs everywhere) and once for AVX2 with FMA. A kernel's entry point takes the
// level to run at, defaulting to the best this CPU offers, so that tests can run every build on
// the same inputs; each build is the same source compiled for its target and gives the same bits.

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
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::Portable, SimdLevel::Avx2};
inline bool simd_level_available(SimdLevel level) {
    return level == SimdLevel::Portable || best_simd_level() == SimdLevel::Avx2;
}

}  // namespace kavro

// Marks the AVX2 build of a kernel.
#define KAVRO_TARGET_AVX2 [[gnu::target("avx2,fma")]]
