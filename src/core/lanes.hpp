#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

// Vector lanes through GCC's vector extensions, N single-precision lanes wide (N = 4 fills an SSE
// register, N = 8 an AVX one; a width the target lacks is split by the compiler). Every operation
// on a lane is the scalar operation on that lane, so a kernel written with these keeps the
// results of its scalar twin bit for bit.
//
// The helpers take and return vectors by value and are always inlined, so a kernel built for the
// baseline with 8 lanes makes no call that passes a 32-byte vector (the build turns off GCC's
// -Wpsabi notes about such calls).

namespace kavro {

template <std::size_t N>
struct Lanes {
    typedef float Floats __attribute__((vector_size(N * sizeof(float))));
    // Comparison results: each lane all ones (true) or all zeros.
    typedef std::int32_t Ints __attribute__((vector_size(N * sizeof(float))));

    static constexpr std::size_t count = N;

    [[gnu::always_inline]] static Floats load(const float* p) {
        Floats v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }

    [[gnu::always_inline]] static void store(float* p, Floats v) { __builtin_memcpy(p, &v, sizeof v); }

    [[gnu::always_inline]] static Floats splat(float x) {
        float lanes[N];
        for (std::size_t i = 0; i < N; ++i) lanes[i] = x;
        return load(lanes);
    }

    // Lane i holds base[index[i]].
    template <class Index>
    [[gnu::always_inline]] static Floats gather(const float* base, const Index* index) {
        float lanes[N];
        for (std::size_t i = 0; i < N; ++i) lanes[i] = base[index[i]];
        return load(lanes);
    }

    // a·b + c rounded once in every lane: one instruction in the AVX2 build, calls to std::fma in
    // the portable one.
    [[gnu::always_inline]] static Floats fused(Floats a, Floats b, Floats c) {
        float x[N], y[N], z[N];
        __builtin_memcpy(x, &a, sizeof a);
        __builtin_memcpy(y, &b, sizeof b);
        __builtin_memcpy(z, &c, sizeof c);
        for (std::size_t i = 0; i < N; ++i) x[i] = std::fma(x[i], y[i], z[i]);
        return load(x);
    }

    // x where mask is set, y elsewhere.
    [[gnu::always_inline]] static Floats blend(Ints mask, Floats x, Floats y) {
        return (Floats)((mask & (Ints)x) | (~mask & (Ints)y));
    }

    // The sum of the lanes.
    [[gnu::always_inline]] static std::uint32_t lane_sum(Ints v) {
        std::int32_t lanes[N];
        __builtin_memcpy(lanes, &v, sizeof v);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < N; ++i) sum += static_cast<std::uint32_t>(lanes[i]);
        return sum;
    }

    // Number of set lanes of a comparison result.
    [[gnu::always_inline]] static unsigned count_set(Ints mask) {
        std::int32_t lanes[N];
        __builtin_memcpy(lanes, &mask, sizeof mask);
        std::int32_t sum = 0;
        for (std::size_t i = 0; i < N; ++i) sum += lanes[i];
        return static_cast<unsigned>(-sum);
    }
};

}  // namespace kavro
