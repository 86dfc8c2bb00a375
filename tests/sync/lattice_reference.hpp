#pragma once

// The FT8/FT4 candidate search written out literally: 16 full waterfalls from the literal
// waterfall loop, each lattice point scored straight from its cells and their four neighbours,
// peaks found by comparing every point with its whole neighbourhood, a stable sort, and the soft
// values from the tone sets as tables. Small inputs only: nothing is shared between points.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "sync/waterfall_reference.hpp"

namespace kavro::test {

struct LiteralMode {
    std::size_t row;
    float spacing;
    std::int64_t frame_len;
    std::size_t tones;
    std::size_t extra_bins;
    std::vector<std::pair<int, int>> costas;  // (frame symbol, tone) in visiting order
    std::vector<int> data_symbols;
    std::vector<std::vector<int>> zero_tones, one_tones;  // per bit
};

inline LiteralMode literal_ft8() {
    LiteralMode mode{1920, 6.25f, 79, 8, 9, {}, {}, {{0, 1, 2, 3}, {0, 1, 5, 6}, {0, 3, 4, 5}},
                     {{4, 5, 6, 7}, {2, 3, 4, 7}, {1, 2, 6, 7}}};
    const int costas[7] = {3, 1, 4, 0, 6, 5, 2};
    for (int at : {0, 36, 72})
        for (int i = 0; i < 7; ++i) mode.costas.push_back({at + i, costas[i]});
    for (int s = 7; s <= 35; ++s) mode.data_symbols.push_back(s);
    for (int s = 43; s <= 71; ++s) mode.data_symbols.push_back(s);
    return mode;
}

inline LiteralMode literal_ft4() {
    LiteralMode mode{576, 20.833334f, 105, 4, 5, {}, {}, {{0, 1}, {0, 3}}, {{2, 3}, {1, 2}}};
    const int costas[4][4] = {{0, 1, 3, 2}, {1, 0, 2, 3}, {2, 3, 1, 0}, {3, 2, 0, 1}};
    const int at[4] = {1, 34, 67, 100};
    for (int a = 0; a < 4; ++a)
        for (int i = 0; i < 4; ++i) mode.costas.push_back({at[a] + i, costas[a][i]});
    for (int first : {5, 38, 71})
        for (int s = first; s < first + 29; ++s) mode.data_symbols.push_back(s);
    return mode;
}

struct LiteralResult {
    std::int64_t time_sym;
    std::size_t freq_bin;
    float score;
    std::vector<float> llr;
};

inline float literal_max(float a, float b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a > b ? a : b;
}

inline std::vector<LiteralResult> literal_sync(const LiteralMode& mode, std::span<const Complex> iq, float fs,
                                               float base_hz, float max_hz, std::int32_t t_min, std::int32_t t_max,
                                               std::uint64_t max_cand) {
    const float inf = std::numeric_limits<float>::infinity();
    std::int64_t n_rows = std::int64_t(t_max) - t_min + mode.frame_len;
    if (n_rows < 1) n_rows = 1;
    const std::int64_t last = std::max<std::int64_t>(std::int64_t(t_max) - t_min, 0);
    float diff = max_hz - base_hz;
    if (std::isnan(diff) || diff < 0.0f) diff = 0.0f;
    const std::size_t n_bins = std::size_t(std::ceil(diff / mode.spacing)) + mode.extra_bins;
    const std::size_t start = t_min >= 0 ? std::size_t(t_min) * mode.row : 0;
    std::vector<ReferenceWaterfall> grids;
    for (std::size_t k = 0; k < 4; ++k)
        for (std::size_t j = 0; j < 4; ++j) {
            const float step = mode.spacing / 4.0f;
            const float offset = float(j) * step;
            grids.push_back(reference_waterfall(iq, mode.row, std::size_t(n_rows), n_bins, start + k * (mode.row / 4),
                                                fs, base_hz + offset, mode.spacing));
        }
    const std::int64_t q_count = 4 * last + 1;
    const std::int64_t h_count = std::int64_t(4 * (n_bins - mode.tones) + 1);
    auto at = [&](const ReferenceWaterfall& g, std::int64_t r, std::int64_t b) { return g.data[r * n_bins + b]; };
    std::vector<float> scores(q_count * h_count, 0.0f);
    for (std::int64_t q = 0; q < q_count; ++q) {
        if (start + std::size_t(q) * (mode.row / 4) >= iq.size()) continue;
        for (std::int64_t h = 0; h < h_count; ++h) {
            const ReferenceWaterfall& g = grids[4 * (q % 4) + h % 4];
            const std::int64_t t = q / 4, f = h / 4;
            float score = 0.0f;
            for (auto [symbol, tone] : mode.costas) {
                const std::int64_t r = t + symbol, b = f + tone;
                if (r >= n_rows) continue;
                const float lower = b == 0 ? -inf : at(g, r, b - 1);
                const float upper = b + 1 == std::int64_t(n_bins) ? -inf : at(g, r, b + 1);
                const float previous = r == 0 ? -inf : at(g, r - 1, b);
                const float next = r + 1 == n_rows ? -inf : at(g, r + 1, b);
                const float m = literal_max(literal_max(lower, upper), literal_max(previous, next));
                const float d = at(g, r, b) - m;
                if (!std::isnan(d) && d > 0.0f) score += d;
            }
            scores[q * h_count + h] = score;
        }
    }
    struct Peak {
        std::int64_t q, h;
        float score;
    };
    std::vector<Peak> peaks;
    for (std::int64_t q = 0; q < q_count; ++q)
        for (std::int64_t h = 0; h < h_count; ++h) {
            const float s = scores[q * h_count + h];
            bool peak = s > 0.0f;
            for (std::int64_t dq = -3; dq <= 3 && peak; ++dq)
                for (std::int64_t dh = -3; dh <= 3 && peak; ++dh) {
                    const std::int64_t nq = q + dq, nh = h + dh;
                    if ((dq == 0 && dh == 0) || nq < 0 || nq >= q_count || nh < 0 || nh >= h_count) continue;
                    const float other = scores[nq * h_count + nh];
                    const bool other_first = nq * h_count + nh < q * h_count + h;
                    if (s < other || (s == other && other_first)) peak = false;
                }
            if (peak) peaks.push_back({q, h, s});
        }
    std::stable_sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.score > b.score; });
    if (peaks.size() > max_cand) peaks.resize(max_cand);

    std::vector<LiteralResult> results;
    const std::size_t bits = mode.zero_tones.size();
    for (const Peak& p : peaks) {
        const ReferenceWaterfall& g = grids[4 * (p.q % 4) + p.h % 4];
        const std::int64_t t = p.q / 4, f = p.h / 4;
        std::vector<float> llr(174, 0.0f);
        for (std::size_t d = 0; d < mode.data_symbols.size(); ++d) {
            const std::int64_t r = t + mode.data_symbols[d];
            if (r >= n_rows) continue;
            for (std::size_t b = 0; b < bits; ++b) {
                float zero = at(g, r, f + mode.zero_tones[b][0]), one = at(g, r, f + mode.one_tones[b][0]);
                for (std::size_t i = 1; i < mode.zero_tones[b].size(); ++i) {
                    zero = literal_max(zero, at(g, r, f + mode.zero_tones[b][i]));
                    one = literal_max(one, at(g, r, f + mode.one_tones[b][i]));
                }
                llr[d * bits + b] = zero - one;
            }
        }
        float sum = 0.0f;
        for (float v : llr) sum += v * v;
        const float ms = sum / 174.0f;
        if (ms > 1e-10f) {
            const float ratio = 24.0f / ms;
            const float factor = std::sqrt(ratio);
            for (float& v : llr) v *= factor;
        }
        results.push_back({std::max<std::int64_t>(t_min, 0) + (p.q + 2) / 4, std::size_t((p.h + 2) / 4), p.score, llr});
    }
    return results;
}

}  // namespace kavro::test
