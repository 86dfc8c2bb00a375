#include "fec/conv.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/internal_fault.hpp"
#include "fec/conv_tables.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// True when every soft value is finite and small enough that no path metric over `steps` steps
// can approach kUnreached or overflow (a branch metric is at most twice the largest magnitude).
bool tame_input(std::span<const float> soft, std::size_t steps) {
    const float limit = 5e36f / static_cast<float>(std::max<std::size_t>(steps, 1));
    for (const float x : soft)
        if (!(std::fabs(x) <= limit)) return false;  // also refuses NaN
    return true;
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

void ViterbiDecoder::decode(std::span<const float> soft, std::span<std::uint8_t> decided) {
    const std::size_t steps = soft.size() / 2;
    if (soft.size() != 2 * steps || decided.size() != steps)
        internal_fault("Viterbi input must hold two soft values per decided bit");
    if (steps == 0) return;
    if (decisions_.size() < steps) decisions_.resize(steps);
    const bool tame = tame_input(soft, steps);
    if (constraint_length_ == 5)
        run<5>(soft.data(), steps, tame);
    else
        run<7>(soft.data(), steps, tame);

    // Trace back from state 0 at the last step; the decided bit of a step is the newest bit of the
    // state it leads to.
    const unsigned top = constraint_length_ - 2;
    const unsigned mask = static_cast<unsigned>(states_ - 1);
    unsigned state = 0;
    for (std::size_t t = steps; t-- > 0;) {
        decided[t] = static_cast<std::uint8_t>((state >> top) & 1u);
        const unsigned odd = static_cast<unsigned>((decisions_[t] >> state) & 1u);
        state = ((state << 1) & mask) | odd;
    }
}

template <unsigned K>
void ViterbiDecoder::run(const float* soft, std::size_t steps, bool tame) {
    constexpr unsigned S = 1u << (K - 1);
    constexpr unsigned half = S / 2;
    alignas(16) float metric_a[S];
    alignas(16) float metric_b[S];
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
    alignas(16) std::uint32_t use_sum[half];
    alignas(16) std::uint32_t negate[half];
    for (unsigned j = 0; j < half; ++j) {
        const unsigned label = branches_[4 * j].label;
        use_sum[j] = (label == 0 || label == 3) ? 0xFFFFFFFFu : 0u;
        negate[j] = label >= 2 ? 0x80000000u : 0u;
    }

#if defined(__SSE2__)
    for (; t < steps; ++t) {
        const float l0 = soft[2 * t];
        const float l1 = soft[2 * t + 1];
        const __m128 sum = _mm_set1_ps(l0 + l1);
        const __m128 diff = _mm_set1_ps(l0 - l1);
        std::uint64_t dec = 0;
        for (unsigned g = 0; g < half / 4; ++g) {
            const __m128 a = _mm_load_ps(old + 8 * g);
            const __m128 b = _mm_load_ps(old + 8 * g + 4);
            const __m128 even = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 odd = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
            const __m128 sel = _mm_load_ps(reinterpret_cast<const float*>(use_sum + 4 * g));
            const __m128 neg = _mm_load_ps(reinterpret_cast<const float*>(negate + 4 * g));
            const __m128 m = _mm_xor_ps(_mm_or_ps(_mm_and_ps(sel, sum), _mm_andnot_ps(sel, diff)), neg);
            const __m128 c0 = _mm_add_ps(even, m);
            const __m128 c1 = _mm_sub_ps(odd, m);
            const __m128 d0 = _mm_sub_ps(even, m);
            const __m128 d1 = _mm_add_ps(odd, m);
            _mm_store_ps(cur + 4 * g, _mm_max_ps(c1, c0));
            _mm_store_ps(cur + half + 4 * g, _mm_max_ps(d1, d0));
            const auto lo = static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(c1, c0)));
            const auto hi = static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(d1, d0)));
            dec |= (lo << (4 * g)) | (hi << (half + 4 * g));
        }
        decisions_[t] = dec;
        std::swap(old, cur);
    }
#else
    for (; t < steps; ++t) {
        const float l0 = soft[2 * t];
        const float l1 = soft[2 * t + 1];
        const float sum = l0 + l1;
        const float diff = l0 - l1;
        std::uint64_t dec = 0;
        for (unsigned j = 0; j < half; ++j) {
            float m = use_sum[j] ? sum : diff;
            if (negate[j]) m = -m;
            const float c0 = old[2 * j] + m, c1 = old[2 * j + 1] - m;
            const float d0 = old[2 * j] - m, d1 = old[2 * j + 1] + m;
            cur[j] = c1 > c0 ? c1 : c0;
            cur[j + half] = d1 > d0 ? d1 : d0;
            dec |= (std::uint64_t{c1 > c0} << j) | (std::uint64_t{d1 > d0} << (j + half));
        }
        decisions_[t] = dec;
        std::swap(old, cur);
    }
#endif
}

}  // namespace kavro::fec
