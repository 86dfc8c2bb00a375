#include "codec/psk31.hpp"

#include <algorithm>
#include <limits>

#include "core/lanes.hpp"

namespace kavro::codec {

namespace {

constexpr float unbounded = std::numeric_limits<float>::infinity();

// While every metric stays below this, no candidate can reach qpsk31_unreached or overflow, so
// the add-compare-select needs no unreached or non-finite cases.
constexpr float tame_limit = 1e37f;

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

float distance(float re, float im, Complex r) {
    const float dx = re - r.re;
    const float dy = im - r.im;
    return dx * dx + dy * dy;
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

std::uint16_t Qpsk31Metrics::literal_step(float re, float im) {
    std::array<float, 16> next;
    next.fill(qpsk31_unreached);
    std::uint16_t decisions = 0;
    for (unsigned s = 0; s < 16; ++s) {
        if (!(m[s] < qpsk31_unreached)) continue;
        for (unsigned b = 0; b < 2; ++b) {
            const Qpsk31Step branch = qpsk31_encode_step(static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(b));
            const float candidate = m[s] + distance(re, im, qpsk31_phase_steps[branch.rotation]);
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
    const float d0 = distance(re, im, qpsk31_phase_steps[0]);
    const float d1 = distance(re, im, qpsk31_phase_steps[1]);
    const float d2 = distance(re, im, qpsk31_phase_steps[2]);
    const float d3 = distance(re, im, qpsk31_phase_steps[3]);
    const float spread = ((d0 + d1) + (d2 + d3));  // at least the largest; NaN stays NaN
    if (!(ceiling_ + spread < tame_limit)) {
        const std::array<float, 16> before = m;
        std::uint16_t decisions = literal_step(re, im);
        if (std::none_of(m.begin(), m.end(), [](float v) { return v < qpsk31_unreached; })) {
            m = before;
            decisions = literal_step(0.0f, 0.0f);
        }
        update_ceiling();
        return decisions;
    }
    ceiling_ = ceiling_ + spread;

    const std::array<float, 4> d{d0, d1, d2, d3};
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
