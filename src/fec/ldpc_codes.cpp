#include "fec/ldpc_codes.hpp"

// 32-byte vectors never cross a call boundary here: every helper is inlined into its build.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <algorithm>
#include <limits>
#include <string>

#include "core/internal_fault.hpp"
#include "core/lanes.hpp"
#include "fec/ldpc_check_math.hpp"

namespace kavro::fec {

namespace {

// "LDPC512" followed by a zero byte, read most significant byte first; the code index is ORed in.
constexpr std::uint64_t kSeed = 0x4C44504335313200ULL;

// Bound on the row weight (the heaviest rows of the three codes have 9 message and 2 parity columns).
constexpr std::size_t kMaxRowWeight = 32;

struct XorShift64 {
    std::uint64_t s;
    // Advances the state and returns it: the draw is the state after its step.
    std::uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

// Set of unordered row pairs over m rows, as an m x m bit matrix keyed by (min, max).
class RowPairSet {
public:
    explicit RowPairSet(std::size_t m) : m_(m), bits_(m * m, false) {}
    bool contains(std::size_t a, std::size_t b) const { return bits_[index(a, b)]; }
    void insert(std::size_t a, std::size_t b) { bits_[index(a, b)] = true; }

private:
    std::size_t index(std::size_t a, std::size_t b) const { return std::min(a, b) * m_ + std::max(a, b); }
    std::size_t m_;
    std::vector<bool> bits_;
};

// The decoder updates kLanes check rows at once, one vector lane per row, with GCC vector
// extensions, built for the baseline and for AVX2. Every operation is the scalar rule's own
// operation per lane, so the results are those of a row-by-row update at either level.
constexpr std::size_t kLanes = Ldpc::kRowsPerGroup;
using L = Lanes<kLanes>;
using Vf = L::Floats;
using Vi = L::Ints;

// Forms the variable-to-check messages v = post - c of one group of rows, returns the number of
// its rows whose hard bits (1 where the posterior is 0 or negative) XOR to 1.
[[gnu::always_inline]] inline unsigned gather_group(const float* post, const std::uint16_t* vars, const float* c, Vf* v, std::size_t d) {
    Vi parity{};
    for (std::size_t j = 0; j < d; ++j) {
        const Vf p = L::gather(post, vars + j * kLanes);
        parity ^= p <= L::splat(0.0f);
        v[j] = p - L::load(c + j * kLanes);
    }
    return L::count_set(parity);
}

// Check rules map the d incoming messages of each row of a group to its d outgoing messages.

// Sum-product: to each edge 2 atanh of the product of the other edges' tanh(v / 2), in the form
// tanh(|v| / 2) = (1 - u) / (1 + u) with u = e^-|v|: the magnitude is ln((B + A) / (B - A)) with
// A and B the products of the other edges' 1 - u and 1 + u in row order, capped at 17.33; the
// sign is the product of the other signs (zero counts as positive).
struct SumProductRule {
    [[gnu::always_inline]] void apply(const Vf* v, float* out, std::size_t d) const {
        Vf minus[kMaxRowWeight], plus[kMaxRowWeight];
        Vi negative{};
        for (std::size_t j = 0; j < d; ++j) {
            const Vf u = check_math::exp_minus_magnitude(v[j]);
            minus[j] = 1.0f - u;
            plus[j] = 1.0f + u;
            negative ^= v[j] < 0.0f;
        }
        const Vi sign_bit = Vi{} + INT32_MIN;
        for (std::size_t j = 0; j < d; ++j) {
            Vf a = L::splat(1.0f), b = a;
            for (std::size_t i = 0; i < d; ++i)
                if (i != j) {
                    a *= minus[i];
                    b *= plus[i];
                }
            const Vf magnitude = check_math::twice_atanh_of_ratio(a, b);
            const Vi flip = (negative ^ (v[j] < 0.0f)) & sign_bit;
            L::store(out + j * kLanes, (Vf)((Vi)magnitude ^ flip));
        }
    }
};

// Min-sum (scale 1) and scaled min-sum: magnitude = the smallest other magnitude, sign = the
// product of the other signs (zero counts as positive).
template <bool Scaled>
struct MinSumRule {
    float scale;

    [[gnu::always_inline]] void apply(const Vf* v, float* out, std::size_t d) const {
        const Vi abs_mask = Vi{} + 0x7FFFFFFF;
        const Vi sign_bit = ~abs_mask;
        Vf min1 = L::splat(std::numeric_limits<float>::infinity());
        Vf min2 = min1;
        Vi pos{};
        Vi negative{};
        // a < min1 moves min1 to min2 and takes its place (recording j); otherwise a < min2
        // replaces min2, so a value equal to min1 becomes min2.
        for (std::size_t j = 0; j < d; ++j) {
            const Vf a = (Vf)((Vi)v[j] & abs_mask);
            negative ^= v[j] < 0.0f;
            const Vi smaller = a < min1;
            const auto jj = static_cast<std::int32_t>(j);
            pos = (smaller & (Vi{} + jj)) | (~smaller & pos);
            const Vf larger = L::blend(smaller, min1, a);
            min2 = L::blend(larger < min2, larger, min2);
            min1 = L::blend(smaller, a, min1);
        }
        const Vf mag1 = Scaled ? scale * min1 : min1;
        const Vf mag2 = Scaled ? scale * min2 : min2;
        for (std::size_t j = 0; j < d; ++j) {
            const auto jj = static_cast<std::int32_t>(j);
            const Vf mag = L::blend(pos == (Vi{} + jj), mag2, mag1);
            const Vi flip = (negative ^ (v[j] < 0.0f)) & sign_bit;
            L::store(out + j * kLanes, (Vf)((Vi)mag ^ flip));
        }
    }
};

// One pass over every row group with the row weight fixed at compile time where possible.
template <std::size_t D, typename Rule>
[[gnu::always_inline]] inline std::size_t update_rows(const Rule& rule, const float* post, const std::uint16_t* slot_var, float* c,
                        std::size_t groups, std::size_t dynamic_d) {
    const std::size_t d = D != 0 ? D : dynamic_d;
    const std::size_t stride = d * kLanes;
    Vf v[kMaxRowWeight];
    std::size_t failed = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        failed += gather_group(post, slot_var + g * stride, c + g * stride, v, d);
        rule.apply(v, c + g * stride, d);
    }
    return failed;
}

template <typename Rule>
[[gnu::always_inline]] inline std::size_t update_rows_any(const Rule& rule, const float* post,
                                                          const std::uint16_t* slot_var, float* c,
                                                          std::size_t groups, std::size_t d) {
    // The padded row weights of the three codes: 3, 6 or 9 message columns and two parity columns.
    switch (d) {
    case 5: return update_rows<5>(rule, post, slot_var, c, groups, d);
    case 8: return update_rows<8>(rule, post, slot_var, c, groups, d);
    case 11: return update_rows<11>(rule, post, slot_var, c, groups, d);
    default: return update_rows<0>(rule, post, slot_var, c, groups, d);
    }
}

// The two builds of one check-update pass; the rule and row weight are fixed inside.
template <typename Rule>
std::size_t update_rows_portable(const Rule& rule, const float* post, const std::uint16_t* slot_var, float* c,
                                 std::size_t groups, std::size_t d) {
    return update_rows_any(rule, post, slot_var, c, groups, d);
}

template <typename Rule>
KAVRO_TARGET_AVX2 std::size_t update_rows_avx2(const Rule& rule, const float* post, const std::uint16_t* slot_var,
                                               float* c, std::size_t groups, std::size_t d) {
    return update_rows_any(rule, post, slot_var, c, groups, d);
}

}  // namespace

LdpcSize ldpc_size(LdpcCode code) {
    switch (code) {
    case LdpcCode::N512R12: return {512, 256};
    case LdpcCode::N576R23: return {576, 384};
    case LdpcCode::N512R34: return {512, 384};
    }
    internal_fault("unknown LDPC code index " + std::to_string(static_cast<unsigned>(code)));
}

Ldpc Ldpc::build(LdpcCode code) {
    const auto [n, k] = ldpc_size(code);
    const std::size_t m = n - k;
    if (!(m >= 1 && k >= 1 && n == k + m)) internal_fault("assertion failed: m >= 1 && k >= 1 && n == k + m");

    Ldpc ldpc;
    ldpc.code_ = code;
    ldpc.n_ = n;
    ldpc.k_ = k;
    ldpc.column_rows_.resize(k);

    XorShift64 rng{kSeed | static_cast<std::uint64_t>(code)};
    std::vector<std::size_t> load(m, 0);
    RowPairSet used(m);
    for (std::size_t c = 0; c < k; ++c) {
        std::array<std::size_t, kColumnWeight> rows{};
        for (std::size_t j = 0; j < kColumnWeight; ++j) {
            const std::size_t start = rng.next() % m;
            const auto taken = [&](std::size_t r) {
                return std::find(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(j), r) !=
                       rows.begin() + static_cast<std::ptrdiff_t>(j);
            };
            std::size_t best = m;
            std::size_t best_load = std::numeric_limits<std::size_t>::max();
            for (std::size_t i = 0; i < m; ++i) {
                const std::size_t r = (start + i) % m;
                if (taken(r)) continue;
                bool pair_used = false;
                for (std::size_t q = 0; q < j; ++q) pair_used = pair_used || used.contains(rows[q], r);
                if (pair_used) continue;
                // Least load wins; a tie keeps the first in scan order.
                if (load[r] < best_load) {
                    best = r;
                    best_load = load[r];
                }
            }
            if (best == m) {
                for (std::size_t i = 0; i < m && best == m; ++i) {
                    const std::size_t r = (start + i) % m;
                    if (!taken(r)) best = r;
                }
                if (best == m) internal_fault("m > col_weight guarantees a free row");
            }
            rows[j] = best;
        }
        for (const std::size_t r : rows) ++load[r];
        for (std::size_t a = 0; a < kColumnWeight; ++a)
            for (std::size_t b = a + 1; b < kColumnWeight; ++b) used.insert(rows[a], rows[b]);
        std::sort(rows.begin(), rows.end());
        for (std::size_t a = 0; a < kColumnWeight; ++a)
            ldpc.column_rows_[c][a] = static_cast<std::uint16_t>(rows[a]);
    }

    // Rows in check-major order: message columns ascending, then the staircase.
    std::vector<std::vector<std::uint16_t>> check_vars(m);
    std::vector<std::vector<std::uint16_t>> var_checks(n);
    for (std::size_t c = 0; c < k; ++c)
        for (const std::uint16_t r : ldpc.column_rows_[c]) {
            check_vars[r].push_back(static_cast<std::uint16_t>(c));
            var_checks[c].push_back(r);
        }
    check_vars[0].push_back(static_cast<std::uint16_t>(k));
    var_checks[k].push_back(0);
    for (std::size_t i = 1; i < m; ++i) {
        check_vars[i].push_back(static_cast<std::uint16_t>(k + i));
        var_checks[k + i].push_back(static_cast<std::uint16_t>(i));
        check_vars[i].push_back(static_cast<std::uint16_t>(k + i - 1));
        var_checks[k + i - 1].push_back(static_cast<std::uint16_t>(i));
    }

    ldpc.row_start_.assign(1, 0);
    for (const auto& row : check_vars) {
        ldpc.edge_var_.insert(ldpc.edge_var_.end(), row.begin(), row.end());
        ldpc.row_start_.push_back(static_cast<std::uint32_t>(ldpc.edge_var_.size()));
    }
    ldpc.var_start_.assign(1, 0);
    for (std::size_t c = 0; c < n; ++c) {
        for (const std::uint16_t r : var_checks[c]) {
            const auto& row = check_vars[r];
            const auto it = std::find(row.begin(), row.end(), c);
            if (it == row.end()) internal_fault("bit is incident to its check");
            const auto pos = static_cast<std::uint16_t>(it - row.begin());
            ldpc.var_check_.push_back(r);
            ldpc.var_edge_pos_.push_back(pos);
        }
        ldpc.var_start_.push_back(static_cast<std::uint32_t>(ldpc.var_check_.size()));
    }

    // Decoder layout (see the header): groups of kLanes rows, each padded to the largest weight.
    std::size_t weight = 0;
    for (const auto& row : check_vars) weight = std::max(weight, row.size());
    if (weight > kMaxRowWeight) internal_fault("LDPC check row too heavy");
    ldpc.row_weight_ = weight;
    ldpc.groups_ = (m + kLanes - 1) / kLanes;
    ldpc.slot_var_.assign(ldpc.groups_ * weight * kLanes, static_cast<std::uint16_t>(n));
    const auto slot = [&](std::size_t r, std::size_t j) {
        return static_cast<std::uint32_t>((r / kLanes * weight + j) * kLanes + r % kLanes);
    };
    for (std::size_t r = 0; r < ldpc.groups_ * kLanes; ++r)
        for (std::size_t j = 0; j < weight; ++j) {
            if (r < m && j < check_vars[r].size())
                ldpc.slot_var_[slot(r, j)] = check_vars[r][j];
            else
                ldpc.pad_slots_.push_back(slot(r, j));
        }
    for (std::size_t c = 0; c < n; ++c)
        for (std::uint32_t e = ldpc.var_start_[c]; e < ldpc.var_start_[c + 1]; ++e)
            ldpc.var_slot_.push_back(slot(ldpc.var_check_[e], ldpc.var_edge_pos_[e]));
    return ldpc;
}

std::vector<std::uint8_t> Ldpc::encode(std::span<const std::uint8_t> message) const {
    std::vector<std::uint8_t> codeword(n_);
    encode_into(message, codeword);
    return codeword;
}

void Ldpc::encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> codeword) const {
    if (message.size() != k_) internal_fault("LDPC message must be exactly K bits");
    if (codeword.size() != n_) internal_fault("LDPC codeword must be exactly N bits");
    std::copy(message.begin(), message.end(), codeword.begin());
    std::uint8_t* q = codeword.data() + k_;
    std::fill(q, q + m(), 0);
    for (std::size_t c = 0; c < k_; ++c)
        if (message[c] & 1)
            for (const std::uint16_t r : column_rows_[c]) q[r] ^= 1;
    // Staircase: p[0] = q[0], p[i] = p[i-1] XOR q[i] satisfies every row.
    std::uint8_t acc = 0;
    for (std::size_t i = 0; i < m(); ++i) {
        acc ^= q[i];
        q[i] = acc;
    }
}

std::size_t Ldpc::failed_checks(std::span<const std::uint8_t> bits) const {
    std::size_t failed = 0;
    const std::size_t rows = m();
    for (std::size_t r = 0; r < rows; ++r) {
        std::uint8_t x = 0;
        for (std::uint32_t e = row_start_[r]; e < row_start_[r + 1]; ++e) x ^= bits[edge_var_[e]];
        failed += x & 1;
    }
    return failed;
}

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

    // c: check-to-variable messages per slot; post: posterior per variable, plus the +infinity
    // of the padding variable n. The variable-to-check message of an edge is post - c, formed when
    // its row is next updated; with c = 0 and post = llr it starts as the channel value.
    const std::size_t n_slots = slot_var_.size();
    std::vector<float> work(n_slots + n + 1);
    float* c = work.data();
    float* post = work.data() + n_slots;
    std::fill(c, c + n_slots, 0.0f);
    std::copy(llr.begin(), llr.end(), post);
    post[n] = std::numeric_limits<float>::infinity();
    std::vector<std::uint8_t> best(n);

    const std::uint32_t* msg_slot = var_slot_.data();  // three per message column
    const std::uint32_t* parity_slot = var_slot_.data() + kColumnWeight * k_;
    std::size_t best_failed = std::numeric_limits<std::size_t>::max();

    // Pass `iter` counts the failed checks of the hard word of the current posteriors (the channel
    // decision for iter 0, the word after iteration iter otherwise) while it already runs the
    // check update of the next iteration over the same rows; that update is simply unused when
    // the word satisfies every check or the iterations are spent.
    for (std::size_t iter = 0;; ++iter) {
        const std::size_t failed =
            level == SimdLevel::Avx2 ? update_rows_avx2(rule, post, slot_var_.data(), c, groups_, row_weight_)
                                     : update_rows_portable(rule, post, slot_var_.data(), c, groups_, row_weight_);
        for (const std::uint32_t s : pad_slots_) c[s] = 0.0f;
        if (failed < best_failed) {
            for (std::size_t i = 0; i < n; ++i) best[i] = post[i] <= 0.0f;
            best_failed = failed;
        }
        if (best_failed == 0 || iter == kMaxIterations) break;

        // Posterior: the channel value plus the incoming check messages in var_checks order.
        for (std::size_t i = 0; i < k_; ++i) {
            const std::uint32_t* e = msg_slot + kColumnWeight * i;
            post[i] = llr[i] + c[e[0]] + c[e[1]] + c[e[2]];
        }
        // Parity column k + j sits on rows j and j + 1; the last one only on row m - 1.
        for (std::size_t j = 0; j + 1 < rows; ++j)
            post[k_ + j] = llr[k_ + j] + c[parity_slot[2 * j]] + c[parity_slot[2 * j + 1]];
        post[n - 1] = llr[n - 1] + c[parity_slot[2 * (rows - 1)]];
    }
    best.resize(k_);
    return {std::move(best), best_failed == 0};
}

}  // namespace kavro::fec
