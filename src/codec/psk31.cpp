#include "codec/psk31.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/lanes.hpp"

namespace kavro::codec {

namespace {

constexpr float unbounded = std::numeric_limits<float>::infinity();

// While the largest metric and the sum of a pair's distances add up to less than this, the pair
// has a finite squared magnitude (|re|, |im| < 1.25e19) and no candidate comes near
// qpsk31_unreached, so the add-compare-select needs no unreached, non-finite or erased cases.
constexpr float tame_limit = 5e19f;

// A pair whose distances add up to less than the lift since the last renormalisation divided by
// this is preceded by a renormalisation.
constexpr float quiet_ratio = 65536.0f;

constexpr unsigned rotation_of(unsigned state, unsigned input) {
    return qpsk31_encode_step(static_cast<std::uint8_t>(state), static_cast<std::uint8_t>(input)).rotation;
}

// The trellis is made of butterflies: states 2j and 2j + 1 lead to j (input 0) and j + 8
// (input 1), and the branch into j from 2j carries rotation j mod 4, the others that rotation
// or its opposite (index xor 3). The vector step below relies on exactly this.
constexpr bool butterflies() {
    for (unsigned j = 0; j < 8; ++j) {
        const unsigned e = j & 3u;
        if (qpsk31_encode_step(static_cast<std::uint8_t>(2 * j), 0).next_state != j ||
            qpsk31_encode_step(static_cast<std::uint8_t>(2 * j + 1), 1).next_state != j + 8)
            return false;
        if (rotation_of(2 * j, 0) != e || rotation_of(2 * j + 1, 0) != (e ^ 3u) || rotation_of(2 * j, 1) != (e ^ 3u) ||
            rotation_of(2 * j + 1, 1) != e)
            return false;
    }
    return true;
}
static_assert(butterflies());

// The branch distances of pair z = (re, im), by rotation index: half the squared distance
// |z - r|² = |z|² + 1 - 2 Re(z r*) less its smallest over the four rotations, which is
// max(|re|, |im|) less the correlation Re(z r*). The dropped part is common to every branch, so
// no decision changes; kept, the |z|² of one strong pair would sit in every metric and round
// away the distances of the pairs after it until a renormalisation. Here the nearest rotation
// adds exactly 0, so the paths through it keep their metrics exact at any size of the pair. A
// pair with a non-finite part gives at least one non-finite distance.
std::array<float, 4> branch_distances(float re, float im) {
    const float top = std::max(std::fabs(re), std::fabs(im));  // NaN when re is
    return {top - re, top + im, top - im, top + re};
}

using L = Lanes<4>;

// Four butterflies at once: lane i of group g handles j = 4g + i, whose branch distances are
// d[i] and d[i xor 3] (j mod 4 = i).
[[gnu::always_inline]] inline std::uint16_t butterfly_groups(std::array<float, 16>& m,
                                                             const std::array<float, 4>& dist) {
    std::array<float, 16> next;
    const L::Floats d = L::load(dist.data());
    const L::Floats opposite = __builtin_shuffle(d, L::Ints{3, 2, 1, 0});
    unsigned low = 0, high = 0;
    for (unsigned g = 0; g < 2; ++g) {
        const L::Floats a = L::load(m.data() + 8 * g), b = L::load(m.data() + 8 * g + 4);
        const L::Floats even = __builtin_shuffle(a, b, L::Ints{0, 2, 4, 6});
        const L::Floats odd = __builtin_shuffle(a, b, L::Ints{1, 3, 5, 7});
        const L::Floats c0 = even + d, c1 = odd + opposite;
        const L::Floats e0 = even + opposite, e1 = odd + d;
        // The even candidate stays on a tie.
        const L::Ints c_odd = c1 < c0, e_odd = e1 < e0;
        L::store(next.data() + 4 * g, L::blend(c_odd, c1, c0));
        L::store(next.data() + 8 + 4 * g, L::blend(e_odd, e1, e0));
        const L::Ints weights{1, 2, 4, 8};
        low |= L::lane_sum(c_odd & weights) << (4 * g);
        high |= L::lane_sum(e_odd & weights) << (4 * g);
    }
    m = next;
    return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace

// Every state is reached and every candidate finite: state j takes the smaller of
// m[2j] + d[j mod 4] and m[2j+1] + d[(j mod 4) xor 3], keeping the even one on a tie; state
// j + 8 the smaller of m[2j] + d[(j mod 4) xor 3] and m[2j+1] + d[j mod 4].
std::uint16_t qpsk31_butterflies(std::array<float, 16>& m, const std::array<float, 4>& d, SimdLevel level) {
    return with_simd_level(level, [&] [[gnu::always_inline]] { return butterfly_groups(m, d); });
}

Qpsk31Metrics::Qpsk31Metrics() : ceiling_(unbounded) {
    m.fill(qpsk31_unreached);
    m[0] = 0.0f;  // the encoder starts in state 0
}

std::uint16_t Qpsk31Metrics::literal_step(const std::array<float, 4>& d) {
    std::array<float, 16> next;
    next.fill(qpsk31_unreached);
    std::uint16_t decisions = 0;
    for (unsigned s = 0; s < 16; ++s) {
        if (!(m[s] < qpsk31_unreached)) continue;
        for (unsigned b = 0; b < 2; ++b) {
            const Qpsk31Step branch = qpsk31_encode_step(static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(b));
            const float candidate = m[s] + d[branch.rotation];
            if (candidate < next[branch.next_state]) {
                next[branch.next_state] = candidate;
                const auto bit = static_cast<std::uint16_t>(1u << branch.next_state);
                decisions = static_cast<std::uint16_t>((s & 1u) ? (decisions | bit) : (decisions & ~bit));
            }
        }
    }
    m = next;
    return decisions;
}

void Qpsk31Metrics::update_ceiling() {
    float top = 0.0f;
    for (const float v : m) {
        if (!(v < qpsk31_unreached)) {
            ceiling_ = unbounded;
            return;
        }
        top = std::max(top, v);
    }
    ceiling_ = top;
}

std::uint16_t Qpsk31Metrics::step(float re, float im) {
    const std::array<float, 4> d = branch_distances(re, im);
    const float spread = (d[0] + d[1]) + (d[2] + d[3]);  // at least the largest; NaN stays NaN
    // Strong pairs that no path follows lift every metric by about their size, and metrics that
    // large would round away the distances of weaker pairs. A pair lifts the smallest metric by at
    // most half its spread, so renormalising before a pair that the lift outweighs 2^16 times
    // keeps the smallest metric within 2^15 times the spread of every pair added to it.
    if (spread * quiet_ratio < lift_) renormalise();
    if (!(ceiling_ + spread < tame_limit)) {
        const bool usable = std::isfinite(re * re + im * im);
        if (usable) lift_ += spread;
        const std::uint16_t decisions = literal_step(usable ? d : branch_distances(0.0f, 0.0f));
        update_ceiling();
        return decisions;
    }
    ceiling_ = ceiling_ + spread;
    lift_ = lift_ + spread;
    return qpsk31_butterflies(m, d);
}

void Qpsk31Metrics::renormalise() {
    float lowest = qpsk31_unreached;
    for (const float v : m)
        if (v < lowest) lowest = v;
    if (lowest > 0.0f)
        for (float& v : m)
            if (v < qpsk31_unreached) v -= lowest;
    update_ceiling();
    lift_ = 0.0f;
}

unsigned Qpsk31Metrics::best_state() const {
    unsigned best = 0;
    for (unsigned s = 1; s < 16; ++s)
        if (m[s] < m[best]) best = s;
    return best;
}

namespace {

unsigned predecessor(unsigned state, std::uint16_t decisions) {
    return ((state & 7u) << 1) | ((decisions >> state) & 1u);
}

// Metrics are renormalised after every 256th pair, counting from the first.
bool renormalises_after(std::uint64_t index) { return index % 256 == 255; }

}  // namespace

std::optional<std::uint8_t> StreamingViterbi::feed_symbol(float re, float im) {
    const std::size_t w = write_idx_;
    decisions_[w] = metrics_.step(re, im);
    if (renormalises_after(count_)) metrics_.renormalise();
    write_idx_ = (w + 1) % decisions_.size();
    ++count_;
    if (count_ <= depth) return std::nullopt;
    unsigned state = metrics_.best_state();
    for (std::size_t k = 0; k < depth; ++k) state = predecessor(state, decisions_[(w - k) % decisions_.size()]);
    return static_cast<std::uint8_t>((state >> 3) & 1u);
}

std::vector<std::uint8_t> viterbi_decode(std::span<const float> soft) {
    const std::size_t n = soft.size() / 2;
    std::vector<std::uint16_t> decisions(n);
    Qpsk31Metrics metrics;
    for (std::size_t k = 0; k < n; ++k) {
        decisions[k] = metrics.step(soft[2 * k], soft[2 * k + 1]);
        if (renormalises_after(k)) metrics.renormalise();
    }
    std::vector<std::uint8_t> bits(n);
    unsigned state = metrics.best_state();
    for (std::size_t k = n; k-- > 0;) {
        bits[k] = static_cast<std::uint8_t>((state >> 3) & 1u);
        state = predecessor(state, decisions[k]);
    }
    return bits;
}

}  // namespace kavro::codec
