#pragma once

#include <cstddef>
#include <cstdint>

// Vector lanes through GCC's vector extensions, N single-precision lanes wide (N = 4 fills an SSE
// register, N = 8 an AVX one; a width the target lacks is split by the compiler). Every operation
// on a lane is the scalar operation on that lane, so a kernel written with these keeps the
// results of its scalar twin bit for bit.
//
// The helpers take and return vectors by value and are always inlined. Code built for the
// baseline that uses 8 lanes gets GCC's -Wpsabi note about the calling convention of 32-byte
// vectors; it concerns calls that are never made, and such files silence it.

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

    // x where mask is set, y elsewhere.
    [[gnu::always_inline]] static Floats blend(Ints mask, Floats x, Floats y) {
        return (Floats)((mask & (Ints)x) | (~mask & (Ints)y));
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
