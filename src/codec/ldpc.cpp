#include "codec/ldpc.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "codec/ldpc_tables.hpp"
#include "core/lanes.hpp"

namespace kavro::codec {

namespace {

// The generator rows as two big-endian machine words: bits 0-63, then bits 64-95 at the top of
// the second word.
struct GeneratorRow {
    std::uint64_t high;
    std::uint64_t low;
};

constexpr std::uint64_t big_endian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) word = (word << 8) | (i < count ? bytes[i] : 0u);
    return word;
}

constexpr auto generator_words = [] {
    std::array<GeneratorRow, ldpc_m> rows{};
    for (std::size_t r = 0; r < ldpc_m; ++r)
        rows[r] = {big_endian(ldpc_generator[r].data(), 8), big_endian(ldpc_generator[r].data() + 8, 4)};
    return rows;
}();

// Belief propagation runs eight checks side by side, one per vector lane: check i sits in lane
// i % 8 of group i / 8, and its member k in row k of the group. Messages live in that layout, one
// float per (group, row, lane) slot. Slots of absent members (the seventh of a six-member check,
// and the five checks that fill the last group) hold +inf as their bit-to-check message, whose
// tanh factor is exactly 1, so they leave every product unchanged; what is computed for them is
// never read.
using V = Lanes<8>;
using Floats = V::Floats;
constexpr std::size_t lane_count = V::count;
constexpr std::size_t rows_per_group = 7;
constexpr std::size_t groups = (ldpc_m + lane_count - 1) / lane_count;
constexpr std::size_t slot_count = groups * rows_per_group * lane_count;

constexpr std::size_t slot_of(std::size_t check, std::size_t member) {
    return (check / lane_count * rows_per_group + member) * lane_count + check % lane_count;
}

// For each bit, the slots of its three edges, its checks in table order.
constexpr auto bit_slots = [] {
    std::array<std::array<std::uint16_t, 3>, ldpc_n> slots{};
    for (std::size_t n = 0; n < ldpc_n; ++n)
        for (std::size_t j = 0; j < 3; ++j) {
            const std::size_t check = ldpc_var_checks[n][j] - 1u;
            for (std::size_t k = 0; k < ldpc_check_degree[check]; ++k)
                if (ldpc_check_vars[check][k] == n + 1) slots[n][j] = static_cast<std::uint16_t>(slot_of(check, k));
        }
    return slots;
}();

// tanh(x), rationally approximated and saturated beyond ±4.97.
[[gnu::always_inline]] inline Floats approx_tanh(Floats x) {
    const Floats x2 = x * x;
    const Floats rational = (x * (x2 * (x2 + 105.0f) + 945.0f)) / (x2 * (15.0f * x2 + 420.0f) + 945.0f);
    return V::blend(x < -4.97f, V::splat(-1.0f), V::blend(x > 4.97f, V::splat(1.0f), rational));
}

// atanh(y), rationally approximated; finite at ±1 (±274/120), deliberately unclamped.
[[gnu::always_inline]] inline Floats approx_atanh(Floats y) {
    const Floats y2 = y * y;
    return (y * (945.0f + y2 * (-735.0f + 64.0f * y2))) / (945.0f + y2 * (-1050.0f + 225.0f * y2));
}

// Check-to-bit messages e from bit-to-check messages m: for each member, twice the atanh of the
// product of the other members' tanh(m / 2), multiplied in member order. Each tanh is formed once
// per edge; the products repeat the multiplications a per-member loop would make.
[[gnu::always_inline]] inline void check_pass(const float* m, float* e) {
    for (std::size_t g = 0; g < groups; ++g) {
        const float* mg = m + g * rows_per_group * lane_count;
        float* eg = e + g * rows_per_group * lane_count;
        Floats t[rows_per_group];
        for (std::size_t k = 0; k < rows_per_group; ++k) t[k] = approx_tanh(V::load(mg + k * lane_count) * 0.5f);
        for (std::size_t k = 0; k < rows_per_group; ++k) {
            Floats product = t[k == 0 ? 1 : 0];
            for (std::size_t j = k == 0 ? 2 : 1; j < rows_per_group; ++j)
                if (j != k) product = product * t[j];
            V::store(eg + k * lane_count, 2.0f * approx_atanh(product));
        }
    }
}

// The tentative decision from the channel value and the three incoming messages, and the
// bit-to-check messages of the next iteration (the channel value and the other two).
[[gnu::always_inline]] inline void bit_pass(const float* llr, const float* e, float* m, std::uint8_t* hard) {
    for (std::size_t n = 0; n < ldpc_n; ++n) {
        const auto& s = bit_slots[n];
        const float l = llr[n], e0 = e[s[0]], e1 = e[s[1]], e2 = e[s[2]];
        hard[n] = ((l + e0) + e1) + e2 <= 0.0f;
        m[s[0]] = (l + e1) + e2;
        m[s[1]] = (l + e0) + e2;
        m[s[2]] = (l + e0) + e1;
    }
}

// Iterates from a raw decision (already in `best_hard`) that failed `best` checks; returns the
// fewest failed checks seen, with that decision in `best_hard`.
[[gnu::always_inline]] inline std::size_t propagate(const float* llr, std::uint8_t* best_hard, std::size_t best) {
    alignas(32) float m[slot_count];
    alignas(32) float e[slot_count];
    std::array<std::uint8_t, ldpc_n> hard;
    std::fill(m, m + slot_count, std::numeric_limits<float>::infinity());
    for (std::size_t n = 0; n < ldpc_n; ++n)
        for (const std::uint16_t s : bit_slots[n]) m[s] = llr[n];
    for (unsigned iteration = 0; iteration < ldpc_max_iterations; ++iteration) {
        check_pass(m, e);
        bit_pass(llr, e, m, hard.data());
        const std::size_t failed = ldpc_count_errors(hard);
        if (failed < best) {
            best = failed;
            std::memcpy(best_hard, hard.data(), ldpc_n);
            if (failed == 0) break;
        }
    }
    return best;
}

}  // namespace

void ldpc_encode(std::span<const std::uint8_t, 12> message, std::span<std::uint8_t, 22> codeword) {
    std::memcpy(codeword.data(), message.data(), 12);
    std::memset(codeword.data() + 12, 0, 10);
    const std::uint64_t high = big_endian(message.data(), 8);
    const std::uint64_t low = big_endian(message.data() + 8, 4);
    for (std::size_t r = 0; r < ldpc_m; ++r) {
        const GeneratorRow& g = generator_words[r];
        if (std::popcount((high & g.high) ^ (low & g.low)) & 1) {
            const std::size_t bit = ldpc_k + r;
            codeword[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
    }
}

std::size_t ldpc_count_errors(std::span<const std::uint8_t, ldpc_n> hard) {
    std::size_t failed = 0;
    for (std::size_t i = 0; i < ldpc_m; ++i) {
        std::uint8_t x = 0;
        for (std::size_t k = 0; k < ldpc_check_degree[i]; ++k) x ^= hard[ldpc_check_vars[i][k] - 1u];
        failed += x != 0;
    }
    return failed;
}

std::size_t ldpc_decode_soft(std::span<const float, ldpc_n> llr, std::span<std::uint8_t, ldpc_n> hard,
                             SimdLevel level) {
    for (std::size_t n = 0; n < ldpc_n; ++n) hard[n] = llr[n] <= 0.0f;
    const std::size_t failed = ldpc_count_errors(hard);
    if (failed == 0) return 0;
    return with_simd_level(level, [&] [[gnu::always_inline]] { return propagate(llr.data(), hard.data(), failed); });
}

}  // namespace kavro::codec
