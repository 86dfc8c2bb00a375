#include "fec/conv.hpp"

// 32-byte vectors never cross a call boundary here: every helper is inlined into its build.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include <immintrin.h>

#include "core/internal_fault.hpp"
#include "core/lanes.hpp"
#include "fec/conv_tables.hpp"

namespace kavro::fec {

namespace {

// Metric of a state not reached yet: the single-precision bit pattern 0xFEFFFFFF.
const float kUnreached = std::bit_cast<float>(0xFEFFFFFFu);

const ConvGenerators& generators(ConvKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= kConvGenerators.size()) internal_fault("unknown convolutional code");
    return kConvGenerators[index];
}

const PuncturePattern& pattern(PunctureRate rate) {
    const auto index = static_cast<std::size_t>(rate);
    if (index >= kPuncturePatterns.size()) internal_fault("unknown puncture rate");
    return kPuncturePatterns[index];
}

unsigned parity(unsigned x) { return static_cast<unsigned>(std::popcount(x) & 1); }

// The vector add-compare-select runs eight butterflies per vector (one lane each), built for the
// baseline and for AVX2. Each lane performs the scalar operations of its butterfly, so both
// builds give the decisions of the literal recursion.
using L = Lanes<8>;
using Vf = L::Floats;
using Vi = L::Ints;

// The metrics live in 2G vectors (G groups of eight butterflies), vector u lane l holding state
// 8u + P(l) for a lane order P that cycles with the step: the deinterleaving that pairs states 2j
// and 2j + 1 into lanes then takes one shuffle per vector. Reading order identity, a shuffle
// within 128-bit halves leaves the new states in order kLaneOrder[0]; reading that, the same
// shuffle leaves kLaneOrder[1]; reading that, taking whole halves restores the identity.
constexpr unsigned kPhases = 3;
constexpr unsigned kLaneOrder[kPhases][8] = {
    {0, 1, 4, 5, 2, 3, 6, 7}, {0, 2, 4, 6, 1, 3, 5, 7}, {0, 1, 2, 3, 4, 5, 6, 7}};

// Per phase and lane of each group: all ones when the butterfly's branch metric is built on
// L0 + L1 (else L0 - L1), and the sign bit when it is negated.
template <unsigned G>
struct ButterflyMasks {
    Vi use_sum[kPhases][G];
    Vi negate[kPhases][G];
};

// Bit i set when lane i of the comparison result is true.
template <SimdLevel Level>
[[gnu::always_inline]] inline unsigned lane_bits(Vi mask) {
    if constexpr (Level == SimdLevel::Avx2) {
        return static_cast<unsigned>(__builtin_ia32_movmskps256((__v8sf)mask));
    } else {
        const __v4sf lo = __builtin_shufflevector((Vf)mask, (Vf)mask, 0, 1, 2, 3);
        const __v4sf hi = __builtin_shufflevector((Vf)mask, (Vf)mask, 4, 5, 6, 7);
        return static_cast<unsigned>(__builtin_ia32_movmskps(lo) | (__builtin_ia32_movmskps(hi) << 4));
    }
}

// A lane-wise comparison, and x where mask is set, y elsewhere. The baseline build compares the
// two 128-bit halves as such (GCC would otherwise compare eight-lane vectors element by element).
template <SimdLevel Level, class Compare>
[[gnu::always_inline]] inline Vi compare(Vf a, Vf b, Compare op) {
    if constexpr (Level == SimdLevel::Avx2) {
        return op(a, b);
    } else {
        const __v4sf a_lo = __builtin_shufflevector(a, a, 0, 1, 2, 3), a_hi = __builtin_shufflevector(a, a, 4, 5, 6, 7);
        const __v4sf b_lo = __builtin_shufflevector(b, b, 0, 1, 2, 3), b_hi = __builtin_shufflevector(b, b, 4, 5, 6, 7);
        return __builtin_shufflevector(op(a_lo, b_lo), op(a_hi, b_hi), 0, 1, 2, 3, 4, 5, 6, 7);
    }
}

template <SimdLevel Level>
[[gnu::always_inline]] inline Vi greater(Vf a, Vf b) {
    return compare<Level>(a, b, [](auto x, auto y) { return x > y; });
}

template <SimdLevel Level>
[[gnu::always_inline]] inline Vf select(Vi mask, Vf x, Vf y) {
    if constexpr (Level == SimdLevel::Avx2)
        return mask ? x : y;
    else
        return L::blend(mask, x, y);
}

// The decision word of a step of phase p has bit 8u + l for state 8u + kLaneOrder[p][l]; these
// put every bit at its state's position.
constexpr std::uint64_t kBytes = 0x0101010101010101ULL;
inline std::uint64_t swap_lane_bits_1_2(std::uint64_t x) {
    return (x & 0xC3 * kBytes) | ((x & 0x0C * kBytes) << 2) | ((x & 0x30 * kBytes) >> 2);
}
inline std::uint64_t state_order(std::uint64_t x, unsigned phase) {
    if (phase == 2) return x;
    x = swap_lane_bits_1_2(x);
    if (phase == 0) return x;
    return (x & 0x99 * kBytes) | ((x & 0x22 * kBytes) << 1) | ((x & 0x44 * kBytes) >> 1);
}

// One trellis step of phase `Phase`: metrics from `old` into `cur`, returns the decision word in
// lane order. `branch` holds the step's L0 + L1 and L0 - L1.
// Metric vector v of a step's metrics, held as vectors (AVX2: the compiler keeps them in
// registers) or as floats in memory (baseline: sixteen vector registers hold only half of them).
[[gnu::always_inline]] inline Vf get(const Vf* metrics, unsigned v) { return metrics[v]; }
[[gnu::always_inline]] inline Vf get(const float* metrics, unsigned v) { return L::load(metrics + 8 * v); }
[[gnu::always_inline]] inline void put(Vf* metrics, unsigned v, Vf x) { metrics[v] = x; }
[[gnu::always_inline]] inline void put(float* metrics, unsigned v, Vf x) { L::store(metrics + 8 * v, x); }

template <unsigned G, unsigned Phase, SimdLevel Level, class Metric>
[[gnu::always_inline]] inline std::uint64_t butterfly_step(const Metric* old, Metric* cur, const float* branch,
                                                           const ButterflyMasks<G>& masks) {
    const Vf sum = L::splat(branch[0]);
    const Vf diff = L::splat(branch[1]);
    std::uint64_t dec = 0;
#pragma GCC unroll 8
    for (unsigned g = 0; g < G; ++g) {
        const Vf a = get(old, 2 * g), b = get(old, 2 * g + 1);
        Vf even, odd;
        if constexpr (Phase == 2) {
            even = __builtin_shufflevector(a, b, 0, 1, 2, 3, 8, 9, 10, 11);
            odd = __builtin_shufflevector(a, b, 4, 5, 6, 7, 12, 13, 14, 15);
        } else {
            even = __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14);
            odd = __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
        }
        const Vi use_sum = masks.use_sum[Phase][g];
        const Vf base = select<Level>(use_sum, sum, diff);
        const Vf m = (Vf)((Vi)base ^ masks.negate[Phase][g]);
        const Vf c0 = even + m, c1 = odd - m;
        const Vf d0 = even - m, d1 = odd + m;
        const Vi low = greater<Level>(c1, c0), high = greater<Level>(d1, d0);
        put(cur, g, select<Level>(low, c1, c0));
        put(cur, G + g, select<Level>(high, d1, d0));
        dec |= (std::uint64_t{lane_bits<Level>(low)} << (8 * g)) |
               (std::uint64_t{lane_bits<Level>(high)} << (8 * (G + g)));
    }
    return dec;
}

// Steps from metrics `metric` in state order (every state reached), writing one decision word
// per step in state order.
template <unsigned G, SimdLevel Level>
[[gnu::always_inline]] inline void butterfly_steps(const ButterflyMasks<G>& masks, const float* branch,
                                                   std::size_t steps, const float* metric, std::uint64_t* decisions) {
    using Metric = std::conditional_t<Level == SimdLevel::Avx2, Vf, float>;
    constexpr unsigned kSize = Level == SimdLevel::Avx2 ? 2 * G : 16 * G;
    alignas(32) Metric a[kSize], b[kSize];
    for (unsigned v = 0; v < 2 * G; ++v) put(a, v, L::load(metric + 8 * v));
    std::size_t t = 0;
    for (; t + 2 * kPhases <= steps; t += 2 * kPhases) {
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
    }
    for (unsigned phase = 0; t < steps; ++t, phase = (phase + 1) % kPhases) {
        const float* x = branch + 2 * t;
        const std::uint64_t d = phase == 0   ? butterfly_step<G, 0, Level>(a, b, x, masks)
                                : phase == 1 ? butterfly_step<G, 1, Level>(a, b, x, masks)
                                             : butterfly_step<G, 2, Level>(a, b, x, masks);
        decisions[t] = state_order(d, phase);
        for (unsigned v = 0; v < 2 * G; ++v) put(a, v, get(b, v));
    }
}

// Writes L0 + L1 and L0 - L1 of every step to `branch` and returns true when every soft value
// is finite and small enough that no path metric over the steps can approach kUnreached or
// overflow (a branch metric is at most twice the largest magnitude).
template <SimdLevel Level>
[[gnu::always_inline]] inline bool prepare_steps(const float* soft, std::size_t steps, float* branch) {
    const float limit = 5e36f / static_cast<float>(std::max<std::size_t>(steps, 1));
    const Vi magnitude = Vi{} + 0x7FFFFFFF;
    const Vi even_lanes = {-1, 0, -1, 0, -1, 0, -1, 0};
    Vi tame = Vi{} - 1;
    std::size_t i = 0;
    for (; i + 8 <= 2 * steps; i += 8) {
        const Vf x = L::load(soft + i);
        const Vf swapped = __builtin_shufflevector(x, x, 1, 0, 3, 2, 5, 4, 7, 6);
        L::store(branch + i, select<Level>(even_lanes, x + swapped, swapped - x));
        tame &= compare<Level>((Vf)((Vi)x & magnitude), L::splat(limit), [](auto a, auto b) { return a <= b; });  // NaN fails
    }
    bool all = L::count_set(tame) == 8;
    for (; i < 2 * steps; i += 2) {
        branch[i] = soft[i] + soft[i + 1];
        branch[i + 1] = soft[i] - soft[i + 1];
        all = all && std::fabs(soft[i]) <= limit && std::fabs(soft[i + 1]) <= limit;
    }
    return all;
}

bool prepare_steps_portable(const float* soft, std::size_t steps, float* branch) {
    return prepare_steps<SimdLevel::Portable>(soft, steps, branch);
}

KAVRO_TARGET_AVX2 bool prepare_steps_avx2(const float* soft, std::size_t steps, float* branch) {
    return prepare_steps<SimdLevel::Avx2>(soft, steps, branch);
}

template <unsigned G>
void butterflies_portable(const ButterflyMasks<G>& masks, const float* branch, std::size_t steps, const float* metric,
                          std::uint64_t* decisions) {
    butterfly_steps<G, SimdLevel::Portable>(masks, branch, steps, metric, decisions);
}

template <unsigned G>
KAVRO_TARGET_AVX2 void butterflies_avx2(const ButterflyMasks<G>& masks, const float* branch, std::size_t steps,
                                        const float* metric, std::uint64_t* decisions) {
    butterfly_steps<G, SimdLevel::Avx2>(masks, branch, steps, metric, decisions);
}

}  // namespace

unsigned conv_constraint_length(ConvKind kind) { return generators(kind).constraint_length; }

std::vector<std::uint8_t> conv_encode(std::span<const std::uint8_t> bits, ConvKind kind, PunctureRate rate) {
    const ConvGenerators& g = generators(kind);
    const PuncturePattern& pat = pattern(rate);
    const unsigned k = g.constraint_length;
    const std::size_t steps = bits.size() + k - 1;
    std::vector<std::uint8_t> out;
    out.reserve(conv_coded_length(bits.size(), kind, rate));
    unsigned state = 0;
    std::size_t p = 0;
    for (std::size_t i = 0; i < steps; ++i) {
        const unsigned b = i < bits.size() ? (bits[i] & 1u) : 0u;
        const unsigned w = state | (b << (k - 1));
        if (pat.x[p]) out.push_back(static_cast<std::uint8_t>(parity(w & g.out0)));
        if (pat.y[p]) out.push_back(static_cast<std::uint8_t>(parity(w & g.out1)));
        state = w >> 1;
        if (++p == pat.period) p = 0;
    }
    return out;
}

std::size_t conv_coded_length(std::size_t message_bits, ConvKind kind, PunctureRate rate) {
    const PuncturePattern& pat = pattern(rate);
    const std::size_t steps = message_bits + generators(kind).constraint_length - 1;
    std::size_t per_period = 0;
    for (unsigned p = 0; p < pat.period; ++p) per_period += pat.x[p] + pat.y[p];
    std::size_t length = steps / pat.period * per_period;
    for (unsigned p = 0; p < steps % pat.period; ++p) length += pat.x[p] + pat.y[p];
    return length;
}

std::vector<float> conv_depuncture(std::span<const float> llrs, ConvKind kind, PunctureRate rate,
                                   std::size_t message_bits) {
    const PuncturePattern& pat = pattern(rate);
    const std::size_t steps = message_bits + generators(kind).constraint_length - 1;
    std::vector<float> soft(2 * steps, 0.0f);
    std::size_t next = 0;
    std::size_t p = 0;
    for (std::size_t i = 0; i < steps && next < llrs.size(); ++i) {
        if (pat.x[p] && next < llrs.size()) soft[2 * i] = llrs[next++];
        if (pat.y[p] && next < llrs.size()) soft[2 * i + 1] = llrs[next++];
        if (++p == pat.period) p = 0;
    }
    return soft;
}

std::vector<std::uint8_t> conv_decode(std::span<const float> llrs, ConvKind kind, PunctureRate rate,
                                      std::size_t message_bits) {
    const std::vector<float> soft = conv_depuncture(llrs, kind, rate, message_bits);
    std::vector<std::uint8_t> decided(soft.size() / 2);
    ViterbiDecoder decoder(kind);
    decoder.decode(soft, decided);
    decided.resize(message_bits);
    return decided;
}

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
    const bool tame = level == SimdLevel::Avx2 ? prepare_steps_avx2(soft.data(), steps, branch_.data())
                                               : prepare_steps_portable(soft.data(), steps, branch_.data());
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
    for (unsigned s = 0; s < S; ++s) old[s] = kUnreached;
    old[0] = 0.0f;

    // Literal add-compare-select, in state order, for the opening steps (where some states are
    // still unreached) and for inputs whose metrics could leave the finite range: states whose
    // metric is not above kUnreached are skipped, and a candidate replaces the stored one only
    // when strictly greater, so the first of equal candidates stays.
    const auto exact_step = [&](std::size_t t) {
        const float l0 = soft[2 * t];
        const float l1 = soft[2 * t + 1];
        const float bm[4] = {l0 + l1, l0 - l1, l1 - l0, -l0 - l1};
        std::uint64_t dec = 0;
        for (unsigned s = 0; s < S; ++s) cur[s] = kUnreached;
        for (unsigned s = 0; s < S; ++s) {
            if (!(old[s] > kUnreached)) continue;
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

    // Every state is reached from here on and no metric can approach kUnreached, so the
    // add-compare-select reduces to: keep the odd predecessor's candidate only when strictly
    // greater. Per butterfly j with m = branch metric of label l: state j takes
    // max(old[2j] + m, old[2j+1] - m), state j + S/2 takes max(old[2j] - m, old[2j+1] + m).
    // Branch metric of label l: L0 + L1, L0 - L1 and their negations (labels 0, 1, 2, 3).
    constexpr unsigned G = S / 16;
    ButterflyMasks<G> masks;
    for (unsigned p = 0; p < kPhases; ++p)
        for (unsigned g = 0; g < G; ++g) {
            std::int32_t use_sum[8], negate[8];
            for (unsigned l = 0; l < 8; ++l) {
                const unsigned label = branches_[4 * (8 * g + kLaneOrder[p][l])].label;
                use_sum[l] = (label == 0 || label == 3) ? -1 : 0;
                negate[l] = label >= 2 ? INT32_MIN : 0;
            }
            __builtin_memcpy(&masks.use_sum[p][g], use_sum, sizeof use_sum);
            __builtin_memcpy(&masks.negate[p][g], negate, sizeof negate);
        }
    if (level == SimdLevel::Avx2)
        butterflies_avx2<G>(masks, branch_.data() + 2 * t, steps - t, old, decisions_.data() + t);
    else
        butterflies_portable<G>(masks, branch_.data() + 2 * t, steps - t, old, decisions_.data() + t);
}

}  // namespace kavro::fec
