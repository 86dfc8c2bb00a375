#include "fec/ldpc_codes.hpp"

#include <immintrin.h>
#include <limits>
#include <type_traits>

#include "core/internal_fault.hpp"
#include "core/lane_halves.hpp"
#include "core/lanes.hpp"
#include "fec/ldpc_check_math.hpp"

// The LDPC decoder: flooding belief propagation over the layout Ldpc::build lays out, one check
// row per vector lane, under the sum-product or (scaled) min-sum check rule.

namespace kavro::fec {

namespace {

// The decoder updates lane_count check rows at once, one vector lane per row, with GCC vector
// extensions, built for the baseline and for AVX2: one AVX vector in the AVX2 build, two SSE
// halves in the portable one. Every operation is the scalar rule's own operation per lane, so
// the results are those of a row-by-row update at either level.
constexpr std::size_t lane_count = Ldpc::rows_per_group;
using L = Lanes<lane_count>;
using H = Lanes<lane_count / 2>;
using Halves = LaneHalves<H::Floats>;

template <SimdLevel Level>
using Floats = std::conditional_t<Level == SimdLevel::Avx2, L::Floats, Halves>;
template <class F>
using MaskOf = decltype(F{} < F{});

template <class F>
[[gnu::always_inline]] inline F load(const float* p) {
    if constexpr (std::is_same_v<F, Halves>) return {H::load(p), H::load(p + lane_count / 2)};
    else return L::load(p);
}

[[gnu::always_inline]] inline void store(float* p, L::Floats v) { L::store(p, v); }
[[gnu::always_inline]] inline void store(float* p, Halves v) {
    H::store(p, v.lo);
    H::store(p + lane_count / 2, v.hi);
}

[[gnu::always_inline]] inline unsigned count_set(L::Ints mask) { return L::count_set(mask); }
[[gnu::always_inline]] inline unsigned count_set(MaskOf<Halves> mask) {
    return H::count_set(mask.lo) + H::count_set(mask.hi);
}

// 1 where the value is 0 or below, else 0, one byte per lane.
[[gnu::always_inline]] inline void store_hard_bits(std::uint8_t* out, L::Floats v) {
    typedef std::uint8_t Bytes __attribute__((vector_size(lane_count)));
    const Bytes bits = __builtin_convertvector((v <= 0.0f) & 1, Bytes);
    __builtin_memcpy(out, &bits, sizeof bits);
}
[[gnu::always_inline]] inline void store_hard_bits(std::uint8_t* out, Halves v) {
    typedef std::uint8_t Bytes __attribute__((vector_size(lane_count / 2)));
    const Bytes low = __builtin_convertvector((v.lo <= 0.0f) & 1, Bytes);
    const Bytes high = __builtin_convertvector((v.hi <= 0.0f) & 1, Bytes);
    __builtin_memcpy(out, &low, sizeof low);
    __builtin_memcpy(out + lane_count / 2, &high, sizeof high);
}

// base[index[i]] in lane i, element by element: on the machines measured this beats the
// hardware gather, and the lanes are built in registers rather than through memory. The AVX2
// build reads the indices two to a load, as loads rather than arithmetic bound the decoder.
template <class F>
[[gnu::always_inline]] inline F gather(const float* base, const std::int32_t* index) {
    if constexpr (std::is_same_v<F, Halves>)
        return {H::Floats{base[index[0]], base[index[1]], base[index[2]], base[index[3]]},
                H::Floats{base[index[4]], base[index[5]], base[index[6]], base[index[7]]}};
    else {
        const auto at = [&](std::size_t i) {
            std::uint64_t pair;
            __builtin_memcpy(&pair, index + i / 2 * 2, sizeof pair);
            return base[static_cast<std::uint32_t>(pair >> (32 * (i % 2)))];
        };
        const H::Floats lo{at(0), at(1), at(2), at(3)};
        const H::Floats hi{at(4), at(5), at(6), at(7)};
        return (F)__builtin_ia32_vinsertf128_ps256(__builtin_ia32_ps256_ps((__v4sf)lo), (__v4sf)hi, 1);
    }
}

// Check rules map the d incoming messages of each row of a group to its d outgoing messages.

// Sum-product: to each edge 2 atanh of the product of the other edges' tanh(v / 2), in the form
// tanh(|v| / 2) = (1 - u) / (1 + u) with u = e^-|v|: the magnitude is ln((B + A) / (B - A)) with
// A and B the products of the other edges' 1 - u and 1 + u in row order, capped at 17.33; the
// sign is the product of the other signs (zero counts as positive).
struct SumProductRule {
    template <class Vf>
    [[gnu::always_inline]] void apply(const Vf* v, Vf* out, std::size_t d) const {
        using Vi = MaskOf<Vf>;
        Vf minus[Ldpc::max_row_weight], plus[Ldpc::max_row_weight];
        Vi negative{};
        #pragma GCC unroll 16
        for (std::size_t j = 0; j < d; ++j) {
            const Vf u = check_math::exp_minus_magnitude(v[j]);
            minus[j] = 1.0f - u;
            plus[j] = 1.0f + u;
            negative ^= v[j] < 0.0f;
        }
        const Vi sign_bit = Vi{} + INT32_MIN;
        #pragma GCC unroll 16
        for (std::size_t j = 0; j < d; ++j) {
            Vf a = Vf{} + 1.0f, b = a;
            #pragma GCC unroll 16
            for (std::size_t i = 0; i < d; ++i)
                if (i != j) {
                    a *= minus[i];
                    b *= plus[i];
                }
            const Vf magnitude = check_math::twice_atanh_of_ratio(a, b);
            const Vi flip = (negative ^ (v[j] < 0.0f)) & sign_bit;
            out[j] = (Vf)((Vi)magnitude ^ flip);
        }
    }
};

// Min-sum (scale 1) and scaled min-sum: magnitude = the smallest other magnitude, sign = the
// product of the other signs (zero counts as positive). The smallest other magnitude of edge j
// is the smaller of the minima before and after it, both built from +infinity with the x86
// minimum "a < b ? a : b" taking each new magnitude first, so that NaN never enters a minimum
// (as a NaN message never becomes the smallest one).
template <bool Scaled>
struct MinSumRule {
    float scale;

    template <class Vf>
    [[gnu::always_inline]] static Vf smaller(Vf a, Vf b) {
        return choose_lanes(a < b, a, b);
    }

    template <class Vf>
    [[gnu::always_inline]] void apply(const Vf* v, Vf* out, std::size_t d) const {
        using Vi = MaskOf<Vf>;
        const Vi abs_mask = Vi{} + 0x7FFFFFFF;
        const Vi sign_bit = ~abs_mask;
        const Vf infinity = Vf{} + std::numeric_limits<float>::infinity();
        Vf before[Ldpc::max_row_weight], after[Ldpc::max_row_weight];
        Vi below[Ldpc::max_row_weight];
        Vi negative{};
        Vf running = infinity;
        #pragma GCC unroll 16
        for (std::size_t j = 0; j < d; ++j) {
            before[j] = running;
            running = smaller((Vf)((Vi)v[j] & abs_mask), running);
            below[j] = v[j] < 0.0f;
            negative ^= below[j];
        }
        running = infinity;
        #pragma GCC unroll 16
        for (std::size_t i = 0; i < d; ++i) {
            const std::size_t j = d - 1 - i;
            after[j] = running;
            running = smaller((Vf)((Vi)v[j] & abs_mask), running);
        }
        #pragma GCC unroll 16
        for (std::size_t j = 0; j < d; ++j) {
            const Vf others = smaller(before[j], after[j]);
            const Vf mag = Scaled ? scale * others : others;
            out[j] = (Vf)((Vi)mag ^ ((negative ^ below[j]) & sign_bit));
        }
    }
};

// The decoder's working arrays over one word (see the layout in the header).
struct Messages {
    float* msg;     // message edges, by slot
    float* parity;  // edge of row r to column k + r
    float* stair;   // edge of row r to column k + r - 1; row 0's is padding, kept at 0
    float* post;    // posteriors: k message columns, +infinity, then the m parity columns
    float* kept;    // the k message posteriors of the best word so far
};

struct Layout {
    std::size_t k, m;
    const std::int32_t* msg_var;
    const std::int32_t* msg_slot;
};

// One check pass over every row group: forms v = post - c, counts the rows whose hard bits (1
// where the posterior is 0 or negative) XOR to 1, and writes the new check-to-variable messages.
template <std::size_t W, SimdLevel Level, typename Rule>
[[gnu::always_inline]] inline std::size_t check_pass(const Rule& rule, const Layout& layout, const Messages& x) {
    using Vf = Floats<Level>;
    using Vi = MaskOf<Vf>;
    constexpr std::size_t d = W + 2;
    // Local copies: the vector stores may alias anything, which would reload every pointer.
    const std::size_t groups = layout.m / lane_count;
    const std::int32_t* msg_var = layout.msg_var;
    const float* post = x.post;
    const float* parity_post = x.post + layout.k;
    float* msg = x.msg;
    float* parity_msg = x.parity;
    float* stair_msg = x.stair;
    Vi failed{};  // per lane, minus the number of failed rows
    for (std::size_t g = 0; g < groups; ++g) {
        Vf v[d];
        Vi parity{};
        #pragma GCC unroll 16
        for (std::size_t j = 0; j < W; ++j) {
            const Vf p = gather<Vf>(post, msg_var + j * lane_count);
            parity ^= p <= 0.0f;
            v[j] = p - load<Vf>(msg + j * lane_count);
        }
        const Vf along = load<Vf>(parity_post + 1);
        const Vf before = load<Vf>(parity_post);
        parity ^= along <= 0.0f;
        parity ^= before <= 0.0f;
        v[W] = along - load<Vf>(parity_msg);
        v[W + 1] = before - load<Vf>(stair_msg);
        failed += parity;
        Vf out[d];
        rule.apply(v, out, d);
        #pragma GCC unroll 16
        for (std::size_t j = 0; j < W; ++j) store(msg + j * lane_count, out[j]);
        store(parity_msg, out[W]);
        store(stair_msg, out[W + 1]);
        msg_var += W * lane_count;
        msg += W * lane_count;
        parity_post += lane_count;
        parity_msg += lane_count;
        stair_msg += lane_count;
    }
    x.stair[0] = 0.0f;
    return count_set(failed);
}

// Posteriors: the channel value plus the incoming check messages in var_checks order.
template <SimdLevel Level>
[[gnu::always_inline]] inline void posterior_pass(const Layout& layout, const float* llr, const Messages& x) {
    using Vf = Floats<Level>;
    const std::size_t k = layout.k;
    const std::int32_t* slot = layout.msg_slot;
    const float* msg = x.msg;
    float* posts = x.post;
    for (std::size_t c = 0; c < k; c += lane_count) {
        Vf sum = load<Vf>(llr + c);
        #pragma GCC unroll 16
        for (std::size_t t = 0; t < Ldpc::column_weight; ++t) sum += gather<Vf>(msg, slot + t * lane_count);
        store(posts + c, sum);
        slot += Ldpc::column_weight * lane_count;
    }
    // Parity column k + j sits on rows j and j + 1; the last one only on row m - 1.
    const std::size_t m = layout.m;
    const float* channel = llr + k;
    const float* parity = x.parity;
    const float* stair = x.stair;
    float* post = x.post + k + 1;
    std::size_t j = 0;
    for (; j + lane_count < m; j += lane_count)
        store(post + j, load<Vf>(channel + j) + load<Vf>(parity + j) + load<Vf>(stair + j + 1));
    for (; j + 1 < m; ++j) post[j] = channel[j] + parity[j] + stair[j + 1];
    post[m - 1] = channel[m - 1] + parity[m - 1];
}

// Flooding belief propagation from posts = llr and zero messages. Pass `iter` counts the failed
// checks of the hard word of the current posteriors (the channel decision for iter 0, the word
// after iteration iter otherwise) while it already runs the check update of the next iteration
// over the same rows; that update is simply unused when the word satisfies every check or the
// iterations are spent. Writes the message bits of the word with the fewest failed checks to
// `best`; returns that count.
template <std::size_t W, SimdLevel Level, typename Rule>
[[gnu::always_inline]] inline std::size_t propagate(const Rule& rule, const Layout& layout, const float* llr,
                                                    const Messages& x, std::uint8_t* best) {
    using Vf = Floats<Level>;
    std::size_t best_failed = std::numeric_limits<std::size_t>::max();
    // The posteriors of the best word so far; their hard bits are taken once, at the end.
    const float* best_post = x.kept;
    for (std::size_t iter = 0;; ++iter) {
        const std::size_t failed = check_pass<W, Level>(rule, layout, x);
        const bool last = failed == 0 || iter == Ldpc::max_iterations;
        if (failed < best_failed) {
            best_failed = failed;
            if (last) {
                best_post = x.post;
            } else {
                for (std::size_t i = 0; i < layout.k; i += lane_count) store(x.kept + i, load<Vf>(x.post + i));
            }
        }
        if (last) break;
        posterior_pass<Level>(layout, llr, x);
    }
    for (std::size_t i = 0; i < layout.k; i += lane_count) store_hard_bits(best + i, load<Vf>(best_post + i));
    return best_failed;
}

template <SimdLevel Level, typename Rule>
[[gnu::always_inline]] inline std::size_t propagate_any(const Rule& rule, const Layout& layout, const float* llr,
                                                        const Messages& x, std::uint8_t* best, std::size_t w) {
    // The row weights of the three codes: 3, 6 or 9 message columns.
    switch (w) {
    case 3: return propagate<3, Level>(rule, layout, llr, x, best);
    case 6: return propagate<6, Level>(rule, layout, llr, x, best);
    case 9: return propagate<9, Level>(rule, layout, llr, x, best);
    }
    internal_fault("LDPC row weight without a decoder build");
}

}  // namespace

LdpcDecoded Ldpc::decode(std::span<const float> llr, LdpcDecodeRule rule, SimdLevel level) const {
    switch (rule.kind) {
    case LdpcDecodeRule::Kind::SumProduct: return run_decoder(llr, SumProductRule{}, level);
    case LdpcDecodeRule::Kind::MinSum: return run_decoder(llr, MinSumRule<false>{1.0f}, level);
    case LdpcDecodeRule::Kind::ScaledMinSum: return run_decoder(llr, MinSumRule<true>{rule.scale}, level);
    }
    internal_fault("unknown LDPC decode rule");
}

template <typename Rule>
LdpcDecoded Ldpc::run_decoder(std::span<const float> llr, const Rule& rule, SimdLevel level) const {
    if (llr.size() != n_) internal_fault("LDPC LLR slice must be N long");
    const std::size_t n = n_;
    const std::size_t rows = m();

    // A channel decision that satisfies every check is returned without belief propagation; the
    // scan stops at the first failed row otherwise.
    bool clean = true;
    for (std::size_t r = 0; r < rows && clean; ++r) {
        unsigned parity = 0;
        for (std::uint32_t e = row_start_[r]; e < row_start_[r + 1]; ++e) parity ^= llr[edge_var_[e]] <= 0.0f;
        clean = parity == 0;
    }
    if (clean) {
        std::vector<std::uint8_t> message(k_);
        for (std::size_t i = 0; i < k_; ++i) message[i] = llr[i] <= 0.0f;
        return {std::move(message), true};
    }

    // Messages start at 0 and posteriors at the channel values, so the first variable-to-check
    // message of every edge is its channel value.
    const std::size_t w = row_message_columns_;
    std::vector<float> work(m() * w + m() + (m() + 1) + (n + 1) + k_, 0.0f);
    const Messages x{work.data(), work.data() + m() * w, work.data() + m() * w + m(),
                     work.data() + m() * w + 2 * m() + 1, work.data() + m() * w + 2 * m() + 1 + n + 1};
    std::copy(llr.begin(), llr.begin() + static_cast<std::ptrdiff_t>(k_), x.post);
    x.post[k_] = std::numeric_limits<float>::infinity();
    std::copy(llr.begin() + static_cast<std::ptrdiff_t>(k_), llr.end(), x.post + k_ + 1);
    const Layout layout{k_, m(), msg_var_.data(), msg_slot_.data()};
    std::vector<std::uint8_t> best(k_);
    // Each build has the rule and row weight fixed inside.
    const std::size_t best_failed = with_simd_level(level, [&] [[gnu::always_inline]] (auto at) {
        return propagate_any<at>(rule, layout, llr.data(), x, best.data(), w);
    });
    return {std::move(best), best_failed == 0};
}

}  // namespace kavro::fec
