#include "fec/conv.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include <immintrin.h>

#include "core/internal_fault.hpp"
#include "core/lane_halves.hpp"
#include "core/lanes.hpp"
#include "fec/conv_tables.hpp"

namespace kavro::fec {

namespace {

// Metric of a state not reached yet: the single-precision bit pattern 0xFEFFFFFF.
const float unreached_metric = std::bit_cast<float>(0xFEFFFFFFu);

// The vector add-compare-select runs eight butterflies at once (one lane each), built for the
// baseline and for AVX2. Each lane performs the scalar operations of its butterfly, so both
// builds give the decisions of the literal recursion.
using L = Lanes<8>;
using Vf = L::Floats;
using Vi = L::Ints;

// Eight float lanes: one AVX vector in the AVX2 build, two 128-bit halves in the baseline build
// (where GCC would keep a 32-byte vector in memory and compare it element by element).
template <SimdLevel Level>
struct Eight {
    using F = Vf;
    using M = Vi;
    [[gnu::always_inline]] static F load(const float* p) { return L::load(p); }
    [[gnu::always_inline]] static void store(float* p, F x) { L::store(p, x); }
    [[gnu::always_inline]] static M load_mask(const std::int32_t* p) {
        M m;
        __builtin_memcpy(&m, p, sizeof m);
        return m;
    }
    [[gnu::always_inline]] static F splat(float x) { return L::splat(x); }
    [[gnu::always_inline]] static M greater(F a, F b) { return a > b; }
    [[gnu::always_inline]] static M at_most(F a, F b) { return a <= b; }
    // Lanes of m are all ones or all zeros; the blend reads their sign bits.
    [[gnu::always_inline]] static F select(M m, F x, F y) {
        return (F)__builtin_ia32_blendvps256((__v8sf)y, (__v8sf)x, (__v8sf)m);
    }
    [[gnu::always_inline]] static F bit_xor(F x, M bits) { return (F)((M)x ^ bits); }
    [[gnu::always_inline]] static F bit_and(F x, M bits) { return (F)((M)x & bits); }
    [[gnu::always_inline]] static unsigned lane_bits(M m) {
        return static_cast<unsigned>(__builtin_ia32_movmskps256((__v8sf)m));
    }
    // Lanes 0 2 of a, 0 2 of b in each 128-bit half; 1 3 of each; the low halves; the high halves.
    [[gnu::always_inline]] static F even_in_halves(F a, F b) { return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14); }
    [[gnu::always_inline]] static F odd_in_halves(F a, F b) { return __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15); }
    [[gnu::always_inline]] static F low_halves(F a, F b) { return __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11); }
    [[gnu::always_inline]] static F high_halves(F a, F b) { return __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15); }
    [[gnu::always_inline]] static F swap_pairs(F x) { return __builtin_shufflevector(x, x, 1, 0, 3, 2, 5, 4, 7, 6); }
};

typedef float Float4 __attribute__((vector_size(16)));
typedef std::int32_t Int4 __attribute__((vector_size(16)));

using FloatHalves = LaneHalves<Float4>;
using MaskHalves = LaneHalves<Int4>;

template <>
struct Eight<SimdLevel::Portable> {
    using F = FloatHalves;
    using M = MaskHalves;
    [[gnu::always_inline]] static F load(const float* p) {
        F x;
        __builtin_memcpy(&x.lo, p, sizeof x.lo);
        __builtin_memcpy(&x.hi, p + 4, sizeof x.hi);
        return x;
    }
    [[gnu::always_inline]] static void store(float* p, F x) {
        __builtin_memcpy(p, &x.lo, sizeof x.lo);
        __builtin_memcpy(p + 4, &x.hi, sizeof x.hi);
    }
    [[gnu::always_inline]] static M load_mask(const std::int32_t* p) {
        M m;
        __builtin_memcpy(&m.lo, p, sizeof m.lo);
        __builtin_memcpy(&m.hi, p + 4, sizeof m.hi);
        return m;
    }
    [[gnu::always_inline]] static F splat(float x) { return {Float4{} + x, Float4{} + x}; }
    [[gnu::always_inline]] static M greater(F a, F b) { return {a.lo > b.lo, a.hi > b.hi}; }
    [[gnu::always_inline]] static M at_most(F a, F b) { return {a.lo <= b.lo, a.hi <= b.hi}; }
    [[gnu::always_inline]] static Float4 pick(Int4 m, Float4 x, Float4 y) { return (Float4)((m & (Int4)x) | (~m & (Int4)y)); }
    [[gnu::always_inline]] static F select(M m, F x, F y) { return {pick(m.lo, x.lo, y.lo), pick(m.hi, x.hi, y.hi)}; }
    [[gnu::always_inline]] static F bit_xor(F x, M bits) { return {(Float4)((Int4)x.lo ^ bits.lo), (Float4)((Int4)x.hi ^ bits.hi)}; }
    [[gnu::always_inline]] static F bit_and(F x, M bits) { return {(Float4)((Int4)x.lo & bits.lo), (Float4)((Int4)x.hi & bits.hi)}; }
    [[gnu::always_inline]] static unsigned lane_bits(M m) {
        return static_cast<unsigned>(__builtin_ia32_movmskps((Float4)m.lo) | (__builtin_ia32_movmskps((Float4)m.hi) << 4));
    }
    [[gnu::always_inline]] static F even_in_halves(F a, F b) {
        return {__builtin_shufflevector(a.lo, b.lo, 0, 2, 4, 6), __builtin_shufflevector(a.hi, b.hi, 0, 2, 4, 6)};
    }
    [[gnu::always_inline]] static F odd_in_halves(F a, F b) {
        return {__builtin_shufflevector(a.lo, b.lo, 1, 3, 5, 7), __builtin_shufflevector(a.hi, b.hi, 1, 3, 5, 7)};
    }
    [[gnu::always_inline]] static F low_halves(F a, F b) { return {a.lo, b.lo}; }
    [[gnu::always_inline]] static F high_halves(F a, F b) { return {a.hi, b.hi}; }
    [[gnu::always_inline]] static F swap_pairs(F x) {
        return {__builtin_shufflevector(x.lo, x.lo, 1, 0, 3, 2), __builtin_shufflevector(x.hi, x.hi, 1, 0, 3, 2)};
    }
};

// The metrics live in 2G vectors (G groups of eight butterflies), vector u lane l holding state
// 8u + P(l) for a lane order P that cycles with the step: the deinterleaving that pairs states 2j
// and 2j + 1 into lanes then takes one shuffle per vector. Reading order identity, a shuffle
// within 128-bit halves leaves the new states in order lane_order[0]; reading that, the same
// shuffle leaves lane_order[1]; reading that, taking whole halves restores the identity.
constexpr unsigned phases = 3;
constexpr unsigned lane_order[phases][8] = {
    {0, 1, 4, 5, 2, 3, 6, 7}, {0, 2, 4, 6, 1, 3, 5, 7}, {0, 1, 2, 3, 4, 5, 6, 7}};

// Per phase and lane of each group: all ones when the butterfly's branch metric is built on
// L0 + L1 (else L0 - L1), and the sign bit when it is negated.
template <unsigned G>
struct ButterflyMasks {
    alignas(32) std::int32_t use_sum[phases][G][8];
    alignas(32) std::int32_t negate[phases][G][8];
};

// The decision word of a step of phase p has bit 8u + l for state 8u + lane_order[p][l]; these
// put every bit at its state's position.
constexpr std::uint64_t bytes = 0x0101010101010101ULL;
inline std::uint64_t swap_lane_bits_1_2(std::uint64_t x) {
    return (x & 0xC3 * bytes) | ((x & 0x0C * bytes) << 2) | ((x & 0x30 * bytes) >> 2);
}
inline std::uint64_t state_order(std::uint64_t x, unsigned phase) {
    if (phase == 2) return x;
    x = swap_lane_bits_1_2(x);
    if (phase == 0) return x;
    return (x & 0x99 * bytes) | ((x & 0x22 * bytes) << 1) | ((x & 0x44 * bytes) >> 1);
}

// One trellis step of phase `Phase`: metrics from `old` into `cur`, returns the decision word in
// lane order. `branch` holds the step's L0 + L1 and L0 - L1.
template <unsigned G, unsigned Phase, SimdLevel Level>
[[gnu::always_inline]] inline std::uint64_t butterfly_step(const typename Eight<Level>::F* old,
                                                           typename Eight<Level>::F* cur, const float* branch,
                                                           const ButterflyMasks<G>& masks) {
    using O = Eight<Level>;
    using F = typename O::F;
    const F sum = O::splat(branch[0]);
    const F diff = O::splat(branch[1]);
    std::uint64_t dec = 0;
#pragma GCC unroll 8
    for (unsigned g = 0; g < G; ++g) {
        const F a = old[2 * g], b = old[2 * g + 1];
        F even, odd;
        if constexpr (Phase == 2) {
            even = O::low_halves(a, b);
            odd = O::high_halves(a, b);
        } else {
            even = O::even_in_halves(a, b);
            odd = O::odd_in_halves(a, b);
        }
        const F base = O::select(O::load_mask(masks.use_sum[Phase][g]), sum, diff);
        const F m = O::bit_xor(base, O::load_mask(masks.negate[Phase][g]));
        const F c0 = even + m, c1 = odd - m;
        const F d0 = even - m, d1 = odd + m;
        const auto low = O::greater(c1, c0), high = O::greater(d1, d0);
        cur[g] = O::select(low, c1, c0);
        cur[G + g] = O::select(high, d1, d0);
        dec |= (std::uint64_t{O::lane_bits(low)} << (8 * g)) | (std::uint64_t{O::lane_bits(high)} << (8 * (G + g)));
    }
    return dec;
}

// Steps from metrics `metric` in state order (every state reached), writing one decision word
// per step in state order.
template <unsigned G, SimdLevel Level>
[[gnu::always_inline]] inline void butterfly_steps(const ButterflyMasks<G>& masks, const float* branch,
                                                   std::size_t steps, const float* metric, std::uint64_t* decisions) {
    using O = Eight<Level>;
    typename O::F a[2 * G], b[2 * G];
    for (unsigned v = 0; v < 2 * G; ++v) a[v] = O::load(metric + 8 * v);
    std::size_t t = 0;
    for (std::size_t block = 1; t + 2 * phases <= steps; t += 2 * phases, ++block) {
        const float* x = branch + 2 * t;
        const std::uint64_t d0 = butterfly_step<G, 0, Level>(a, b, x, masks);
        const std::uint64_t d1 = butterfly_step<G, 1, Level>(b, a, x + 2, masks);
        const std::uint64_t d2 = butterfly_step<G, 2, Level>(a, b, x + 4, masks);
        const std::uint64_t d3 = butterfly_step<G, 0, Level>(b, a, x + 6, masks);
        const std::uint64_t d4 = butterfly_step<G, 1, Level>(a, b, x + 8, masks);
        const std::uint64_t d5 = butterfly_step<G, 2, Level>(b, a, x + 10, masks);
        decisions[t] = state_order(d0, 0);
        decisions[t + 1] = state_order(d1, 1);
        decisions[t + 2] = d2;
        decisions[t + 3] = state_order(d3, 0);
        decisions[t + 4] = state_order(d4, 1);
        decisions[t + 5] = d5;
        // Metrics only grow, so every 48 steps all of them are taken back by one state's: they
        // stay near 0, where single precision still resolves soft values far smaller than the
        // typical one. Unchecked, a block of 10^5 steps rounds away every value under a few
        // percent of the typical one, and with it the carriers a receiver weighted down.
        if (block % 8 == 0) {
            float lanes[8];
            O::store(lanes, a[0]);
            const typename O::F reference = O::splat(lanes[0]);
            for (unsigned v = 0; v < 2 * G; ++v) a[v] = a[v] - reference;
        }
    }
    for (unsigned phase = 0; t < steps; ++t, phase = (phase + 1) % phases) {
        const float* x = branch + 2 * t;
        const std::uint64_t d = phase == 0   ? butterfly_step<G, 0, Level>(a, b, x, masks)
                                : phase == 1 ? butterfly_step<G, 1, Level>(a, b, x, masks)
                                             : butterfly_step<G, 2, Level>(a, b, x, masks);
        decisions[t] = state_order(d, phase);
        for (unsigned v = 0; v < 2 * G; ++v) a[v] = b[v];
    }
}

// Writes L0 + L1 and L0 - L1 of every step to `branch` and returns true when every soft value
// is finite and small enough that no path metric over the steps can approach unreached_metric or
// overflow (a branch metric is at most twice the largest magnitude).
template <SimdLevel Level>
[[gnu::always_inline]] inline bool prepare_steps(const float* soft, std::size_t steps, float* branch) {
    using O = Eight<Level>;
    const float limit = 5e36f / static_cast<float>(std::max<std::size_t>(steps, 1));
    const std::int32_t magnitude_bits[8] = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF,
                                            0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF};
    const std::int32_t even_bits[8] = {-1, 0, -1, 0, -1, 0, -1, 0};
    const auto magnitude = O::load_mask(magnitude_bits);
    const auto even_lanes = O::load_mask(even_bits);
    auto tame = O::load_mask(even_bits);
    tame = O::at_most(O::splat(0.0f), O::splat(0.0f));  // all set
    std::size_t i = 0;
    for (; i + 8 <= 2 * steps; i += 8) {
        const auto x = O::load(soft + i);
        const auto swapped = O::swap_pairs(x);
        O::store(branch + i, O::select(even_lanes, x + swapped, swapped - x));
        tame = tame & O::at_most(O::bit_and(x, magnitude), O::splat(limit));  // NaN fails
    }
    bool all = O::lane_bits(tame) == 0xFF;
    for (; i < 2 * steps; i += 2) {
        branch[i] = soft[i] + soft[i + 1];
        branch[i + 1] = soft[i] - soft[i + 1];
        all = all && std::fabs(soft[i]) <= limit && std::fabs(soft[i + 1]) <= limit;
    }
    return all;
}

}  // namespace

ViterbiDecoder::ViterbiDecoder(ConvKind kind)
    : kind_(kind), constraint_length_(generators(kind).constraint_length),
      states_(std::size_t{1} << (constraint_length_ - 1)) {
    const ConvGenerators& g = generators(kind);
    const unsigned k = constraint_length_;
    for (unsigned s = 0; s < states_; ++s)
        for (unsigned b = 0; b < 2; ++b) {
            const unsigned w = s | (b << (k - 1));
            branches_[2 * s + b] = {static_cast<std::uint16_t>(w >> 1),
                                    static_cast<std::uint8_t>(parity(w & g.out1) | (parity(w & g.out0) << 1))};
        }
    // The decoder works on butterflies: states 2j and 2j+1 feed states j and j + S/2, and the four
    // branches carry labels l, l^3, l^3, l. This holds because both generators tap the newest and
    // the oldest bit of the window.
    const unsigned half = static_cast<unsigned>(states_ / 2);
    for (unsigned j = 0; j < half; ++j) {
        const ConvBranch e0 = branches_[4 * j], e1 = branches_[4 * j + 1];
        const ConvBranch o0 = branches_[4 * j + 2], o1 = branches_[4 * j + 3];
        if (e0.next != j || o0.next != j || e1.next != j + half || o1.next != j + half ||
            o0.label != (e0.label ^ 3) || e1.label != (e0.label ^ 3) || o1.label != e0.label)
            internal_fault("convolutional trellis is not made of butterflies");
    }
}

void ViterbiDecoder::decode(std::span<const float> soft, std::span<std::uint8_t> decided, SimdLevel level) {
    const std::size_t steps = soft.size() / 2;
    if (soft.size() != 2 * steps || decided.size() != steps)
        internal_fault("Viterbi input must hold two soft values per decided bit");
    if (steps == 0) return;
    if (decisions_.size() < steps) decisions_.resize(steps);
    if (branch_.size() < 2 * steps) branch_.resize(2 * steps);
    const bool tame = with_simd_level(level, [&] [[gnu::always_inline]] (auto at) {
        return prepare_steps<at>(soft.data(), steps, branch_.data());
    });
    if (constraint_length_ == 5) {
        run<5>(soft.data(), steps, tame, level);
        trace_back<5>(decisions_.data(), decided);
    } else {
        run<7>(soft.data(), steps, tame, level);
        trace_back<7>(decisions_.data(), decided);
    }
}

// Traces back from state 0 at the last step; the decided bit of a step is the newest bit of the
// state it leads to. The state runs unmasked as s -> 2 s + odd, since only its low K - 1 bits
// are read: the bit test takes its offset modulo 64, and K = 5 words hold their 16 bits four
// times over. Bit test and add-with-carry keep the chain at two instructions a step.
template <unsigned K>
void ViterbiDecoder::trace_back(const std::uint64_t* decisions, std::span<std::uint8_t> decided) {
    std::uint64_t state = 0;
    for (std::size_t t = decided.size(); t-- > 0;) {
        decided[t] = static_cast<std::uint8_t>((state >> (K - 2)) & 1u);
        std::uint64_t word = decisions[t];
        if constexpr (K == 5) word = (word & 0xFFFF) * 0x0001000100010001ULL;
        asm("bt %0, %1\n\tadc %0, %0" : "+r"(state) : "r"(word) : "cc");
    }
}

template <unsigned K>
void ViterbiDecoder::run(const float* soft, std::size_t steps, bool tame, SimdLevel level) {
    constexpr unsigned S = 1u << (K - 1);
    alignas(32) float metric_a[S];
    alignas(32) float metric_b[S];
    float* old = metric_a;
    float* cur = metric_b;
    for (unsigned s = 0; s < S; ++s) old[s] = unreached_metric;
    old[0] = 0.0f;

    // Literal add-compare-select, in state order, for the opening steps (where some states are
    // still unreached) and for inputs whose metrics could leave the finite range: states whose
    // metric is not above unreached_metric are skipped, and a candidate replaces the stored one only
    // when strictly greater, so the first of equal candidates stays.
    const auto exact_step = [&](std::size_t t) {
        const float l0 = soft[2 * t];
        const float l1 = soft[2 * t + 1];
        const float bm[4] = {l0 + l1, l0 - l1, l1 - l0, -l0 - l1};
        std::uint64_t dec = 0;
        for (unsigned s = 0; s < S; ++s) cur[s] = unreached_metric;
        for (unsigned s = 0; s < S; ++s) {
            if (!(old[s] > unreached_metric)) continue;
            for (unsigned b = 0; b < 2; ++b) {
                const ConvBranch br = branches_[2 * s + b];
                const float cand = old[s] + bm[br.label];
                if (cand > cur[br.next]) {
                    cur[br.next] = cand;
                    const std::uint64_t bit = std::uint64_t{1} << br.next;
                    dec = (s & 1u) ? (dec | bit) : (dec & ~bit);
                }
            }
        }
        decisions_[t] = dec;
        std::swap(old, cur);
    };

    std::size_t t = 0;
    const std::size_t opening = tame ? std::min<std::size_t>(steps, K - 1) : steps;
    for (; t < opening; ++t) exact_step(t);
    if (t == steps) return;

    // Every state is reached from here on and no metric can approach unreached_metric, so the
    // add-compare-select reduces to: keep the odd predecessor's candidate only when strictly
    // greater. Per butterfly j with m = branch metric of label l: state j takes
    // max(old[2j] + m, old[2j+1] - m), state j + S/2 takes max(old[2j] - m, old[2j+1] + m).
    // Branch metric of label l: L0 + L1, L0 - L1 and their negations (labels 0, 1, 2, 3).
    constexpr unsigned G = S / 16;
    ButterflyMasks<G> masks;
    for (unsigned p = 0; p < phases; ++p)
        for (unsigned g = 0; g < G; ++g) {
            for (unsigned l = 0; l < 8; ++l) {
                const unsigned label = branches_[4 * (8 * g + lane_order[p][l])].label;
                masks.use_sum[p][g][l] = (label == 0 || label == 3) ? -1 : 0;
                masks.negate[p][g][l] = label >= 2 ? INT32_MIN : 0;
            }
        }
    with_simd_level(level, [&] [[gnu::always_inline]] (auto at) {
        butterfly_steps<G, at>(masks, branch_.data() + 2 * t, steps - t, old, decisions_.data() + t);
    });
}

}  // namespace kavro::fec
