#pragma once

// A literal model of the LDPC(174,91) belief-propagation decoder, written step by step as the
// algorithm is stated: dense message arrays indexed by (check, bit), and tanh(m / 2) recomputed
// for every member pair. The unit tests hold the library decoder to it bit for bit; the
// benchmarks time it as the decoder's peer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/ldpc_tables.hpp"

namespace kavro::test {

inline float reference_tanh(float x) {
    if (x < -4.97f) return -1.0f;
    if (x > 4.97f) return 1.0f;
    const float x2 = x * x;
    return (x * (x2 * (x2 + 105.0f) + 945.0f)) / (x2 * (15.0f * x2 + 420.0f) + 945.0f);
}

inline float reference_atanh(float y) {
    const float y2 = y * y;
    return (y * (945.0f + y2 * (-735.0f + 64.0f * y2))) / (945.0f + y2 * (-1050.0f + 225.0f * y2));
}

inline std::size_t reference_count_errors(const std::uint8_t* hard) {
    std::size_t failed = 0;
    for (std::size_t i = 0; i < 83; ++i) {
        std::uint8_t x = 0;
        for (std::size_t k = 0; k < codec::ldpc_check_degree[i]; ++k) x ^= hard[codec::ldpc_check_vars[i][k] - 1];
        if (x != 0) ++failed;
    }
    return failed;
}

inline std::size_t reference_decode_soft(const float* llr, std::uint8_t* out) {
    constexpr std::size_t N = 174, M = 83;
    std::array<std::uint8_t, N> hard;
    for (std::size_t n = 0; n < N; ++n) hard[n] = llr[n] <= 0.0f ? 1 : 0;
    std::size_t best = reference_count_errors(hard.data());
    std::array<std::uint8_t, N> saved = hard;
    if (best != 0) {
        std::vector<float> m(M * N, 0.0f), e(M * N, 0.0f);
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t k = 0; k < codec::ldpc_check_degree[i]; ++k) {
                const std::size_t n = codec::ldpc_check_vars[i][k] - 1;
                m[i * N + n] = llr[n];
            }
        for (int iteration = 1; iteration <= 20; ++iteration) {
            for (std::size_t i = 0; i < M; ++i) {
                const std::size_t degree = codec::ldpc_check_degree[i];
                for (std::size_t k = 0; k < degree; ++k) {
                    float p = 1.0f;
                    for (std::size_t w = 0; w < degree; ++w)
                        if (w != k) p = p * reference_tanh(m[i * N + codec::ldpc_check_vars[i][w] - 1] / 2.0f);
                    e[i * N + codec::ldpc_check_vars[i][k] - 1] = 2.0f * reference_atanh(p);
                }
            }
            for (std::size_t n = 0; n < N; ++n) {
                const auto& c = codec::ldpc_var_checks[n];
                const float l = ((llr[n] + e[(c[0] - 1) * N + n]) + e[(c[1] - 1) * N + n]) + e[(c[2] - 1) * N + n];
                hard[n] = l <= 0.0f ? 1 : 0;
            }
            const std::size_t failed = reference_count_errors(hard.data());
            if (failed < best) {
                best = failed;
                saved = hard;
                if (failed == 0) break;
            }
            for (std::size_t n = 0; n < N; ++n) {
                const auto& c = codec::ldpc_var_checks[n];
                const float e0 = e[(c[0] - 1) * N + n], e1 = e[(c[1] - 1) * N + n], e2 = e[(c[2] - 1) * N + n];
                m[(c[0] - 1) * N + n] = (llr[n] + e1) + e2;
                m[(c[1] - 1) * N + n] = (llr[n] + e0) + e2;
                m[(c[2] - 1) * N + n] = (llr[n] + e0) + e1;
            }
        }
    }
    for (std::size_t n = 0; n < N; ++n) out[n] = saved[n];
    return best;
}

}  // namespace kavro::test
