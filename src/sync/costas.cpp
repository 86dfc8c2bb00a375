#include "sync/costas.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"

namespace kavro {

namespace {

constexpr auto ft8_cells = costas_cells<3, 7>({codec::ft8_costas, codec::ft8_costas, codec::ft8_costas}, {0, 36, 72});
constexpr auto ft8_data_symbols = data_symbol_list<58>(codec::ft8_layout);
constexpr auto ft8_zero_tones = zero_tone_masks<3>(codec::ft8_gray_map);

constexpr float minus_infinity = -std::numeric_limits<float>::infinity();
constexpr float max_span_bins = 16777216.0f;

// The larger of two values, where a NaN operand loses to the other one.
float max_ignoring_nan(float a, float b) { return (b > a) | (a != a) ? b : a; }

// Cells in a lattice of a x b; a count that wraps is refused.
std::size_t lattice_size(std::size_t a, std::size_t b) {
    const std::optional<std::size_t> product = checked_mul(a, b);
    if (!product) throw std::length_error("search lattice too large");
    return *product;
}

// Rows of `row_len` samples from `first` that start inside `count` samples, at most `limit`.
std::int64_t rows_inside(std::uint64_t count, std::uint64_t first, std::uint64_t row_len, std::int64_t limit) {
    if (first >= count) return 0;
    const std::uint64_t rows = (count - first + row_len - 1) / row_len;
    return rows < static_cast<std::uint64_t>(limit) ? static_cast<std::int64_t>(rows) : limit;
}

// A cell of a sub-grid; rows past the stored ones (they start past the end of the input) read 0.
float cell(const Waterfall& grid, std::int64_t row, std::size_t bin) {
    return static_cast<std::size_t>(row) < grid.n_rows ? grid.data[static_cast<std::size_t>(row) * grid.n_bins + bin]
                                                         : 0.0f;
}

// How far each cell stands above its four neighbours, max(W - max(lower, upper, previous,
// next), 0), for the first `rows` rows of one sub-grid. A window's score is the sum of these at
// its Costas cells, so each is formed once rather than once per window.
std::vector<float> contributions(const Waterfall& grid, std::int64_t rows, std::int64_t n_rows) {
    const std::size_t bins = grid.n_bins;
    std::vector<float> out(lattice_size(static_cast<std::size_t>(rows), bins));
    const std::vector<float> zeros(bins, 0.0f), outside(bins, minus_infinity);
    // The current row with -infinity on both sides, so that every bin has a lower and upper value.
    std::vector<float> padded(bins + 2, minus_infinity);
    const auto row_at = [&](std::int64_t r) {
        if (r < 0 || r >= n_rows) return outside.data();
        return static_cast<std::size_t>(r) < grid.n_rows ? grid.data.data() + static_cast<std::size_t>(r) * bins
                                                          : zeros.data();
    };
    for (std::int64_t r = 0; r < rows; ++r) {
        std::copy_n(row_at(r), bins, padded.begin() + 1);
        const float* previous = row_at(r - 1);
        const float* next = row_at(r + 1);
        float* contribution = out.data() + static_cast<std::size_t>(r) * bins;
        for (std::size_t b = 0; b < bins; ++b) {
            const float m = max_ignoring_nan(max_ignoring_nan(padded[b], padded[b + 2]),
                                             max_ignoring_nan(previous[b], next[b]));
            const float d = padded[b + 1] - m;
            contribution[b] = d > 0.0f ? d : 0.0f;
        }
    }
    return out;
}

// The score of every lattice point whose window starts inside the input, row-major by q.
std::vector<float> score_map(const SearchMode& mode, const SubGrids& sub, std::size_t points_in_freq) {
    const std::int64_t q_count = sub.points_in_time;
    std::vector<float> scores(lattice_size(static_cast<std::size_t>(q_count), points_in_freq), 0.0f);
    if (q_count == 0) return scores;
    const std::int64_t rows = std::min(sub.n_rows, (q_count - 1) / 4 + mode.frame_len);
    const std::size_t bins = sub.n_bins;
    std::vector<float> row_scores(bins);
    for (std::size_t g = 0; g < sub_grid_count; ++g) {
        const std::vector<float> contribution = contributions(sub.grids[g], rows, sub.n_rows);
        const std::size_t k = g / 4, j = g % 4;
        const std::size_t base_bins = (points_in_freq - 1 - j) / 4 + 1;  // f with 4f + j a searched point
        for (std::int64_t q = static_cast<std::int64_t>(k); q < q_count; q += 4) {
            // Each window's Costas cells are added in visiting order, all base bins at once.
            const std::int64_t t = q / 4;
            std::fill(row_scores.begin(), row_scores.end(), 0.0f);
            for (const CostasCell& c : mode.costas) {
                const std::int64_t row = t + c.symbol;
                if (row >= sub.n_rows) continue;
                const float* cells = contribution.data() + static_cast<std::size_t>(row) * bins + c.tone;
                for (std::size_t f = 0; f < base_bins; ++f) row_scores[f] = row_scores[f] + cells[f];
            }
            float* out = scores.data() + static_cast<std::size_t>(q) * points_in_freq + j;
            for (std::size_t f = 0; f < base_bins; ++f) out[4 * f] = row_scores[f];
        }
    }
    return scores;
}

// Whether (q, h) beats every searched point within 3 steps in both directions; an equal score
// counts as beaten when it belongs to a later point in discovery order.
bool is_peak(std::span<const float> scores, std::int64_t q_count, std::size_t width, std::int64_t q,
             std::size_t h) {
    const float s = scores[static_cast<std::size_t>(q) * width + h];
    if (!(s > 0.0f)) return false;
    const std::int64_t q_end = std::min(q + 4, q_count);
    const std::size_t h_first = h >= 3 ? h - 3 : 0, h_end = std::min(h + 4, width);
    for (std::int64_t nq = std::max<std::int64_t>(q - 3, 0); nq < q_end; ++nq) {
        for (std::size_t nh = h_first; nh < h_end; ++nh) {
            if (nq == q && nh == h) continue;
            const float other = scores[static_cast<std::size_t>(nq) * width + nh];
            const bool earlier = nq < q || (nq == q && nh < h);
            if (earlier ? !(s > other) : !(s >= other)) return false;
        }
    }
    return true;
}

// The rows, among the first `stored`, that hold a Costas cell or one of its neighbours for one of
// the first `windows` windows.
std::vector<bool> costas_rows(const SearchMode& mode, std::int64_t stored, std::int64_t windows) {
    std::vector<bool> needed(static_cast<std::size_t>(stored), false);
    for (const CostasCell& c : mode.costas) {
        const std::int64_t end = std::min<std::int64_t>(windows + c.symbol + 1, stored);
        for (std::int64_t r = std::max<std::int64_t>(c.symbol - 1, 0); r < end; ++r) {
            needed[static_cast<std::size_t>(r)] = true;
        }
    }
    return needed;
}

// Row `row` of a sub-grid whose rows start at sample `first`, its cells from bin `first_bin` on.
WaterfallRow stored_row(std::span<const Complex> iq, std::uint64_t first, std::size_t row_len, std::int64_t row,
                        std::size_t first_bin, Waterfall& grid) {
    const std::uint64_t s = first + static_cast<std::uint64_t>(row) * row_len;
    return WaterfallRow{iq.data() + s, static_cast<std::size_t>(std::min<std::uint64_t>(row_len, iq.size() - s)),
                        grid.data.data() + static_cast<std::size_t>(row) * grid.n_bins + first_bin};
}

}  // namespace

const SearchMode ft8_search_mode{"ft8_sync",
                                 codec::ft8_frame.symbol_samples,
                                 codec::ft8_frame.spacing_hz,
                                 static_cast<std::int64_t>(codec::ft8_frame.symbols()),
                                 codec::ft8_frame.alphabet,
                                 9,
                                 ft8_cells,
                                 ft8_data_symbols,
                                 ft8_zero_tones};

std::string error_message(const SyncSpanError& error) {
    return std::string(error.function) + ": frequency span too large (more than 16777216 bins)";
}

std::expected<SubGrids, SyncSpanError> build_sub_grids(const SearchMode& mode, std::span<const Complex> iq, float fs,
                                                       float base_hz, float max_hz, std::int32_t t_min,
                                                       std::int32_t t_max) {
    float span = max_hz - base_hz;
    if (!(span > 0.0f)) span = 0.0f;
    const float quotient = span / mode.spacing;
    if (!(quotient <= max_span_bins)) return std::unexpected(SyncSpanError{mode.function});

    SubGrids sub;
    sub.n_bins = static_cast<std::size_t>(std::ceil(quotient)) + mode.extra_bins;
    const std::int64_t range = static_cast<std::int64_t>(t_max) - t_min;
    sub.n_rows = std::max<std::int64_t>(range + mode.frame_len, 1);
    sub.last_window = std::max<std::int64_t>(range, 0);
    const std::uint64_t start = t_min >= 0 ? static_cast<std::uint64_t>(t_min) * mode.row_len : 0;
    const std::uint64_t quarter = mode.row_len / 4;
    sub.points_in_time = rows_inside(iq.size(), start, quarter, 4 * sub.last_window + 1);

    sub.start = start;
    const float quarter_spacing = mode.spacing / 4.0f;
    for (std::size_t j = 0; j < 4; ++j) {
        const float f0 = base_hz + static_cast<float>(j) * quarter_spacing;
        sub.steps[j] = waterfall_steps(sub.n_bins, fs, f0, mode.spacing);
    }
    const std::int64_t windows = (sub.points_in_time + 3) / 4;
    std::vector<WaterfallRow> rows;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::uint64_t first = start + k * quarter;
        const std::int64_t stored = rows_inside(iq.size(), first, mode.row_len, sub.n_rows);
        const std::vector<bool> needed = costas_rows(mode, stored, windows);
        for (std::size_t j = 0; j < 4; ++j) {
            Waterfall& grid = sub.grids[4 * k + j];
            grid = Waterfall{std::vector<float>(lattice_size(static_cast<std::size_t>(stored), sub.n_bins), 0.0f),
                             static_cast<std::size_t>(stored), sub.n_bins};
            rows.clear();
            for (std::int64_t r = 0; r < stored; ++r) {
                if (!needed[static_cast<std::size_t>(r)]) continue;
                rows.push_back(stored_row(iq, first, mode.row_len, r, 0, grid));
            }
            waterfall_rows(rows, sub.steps[j].data(), sub.n_bins);
        }
    }
    return sub;
}

std::vector<Candidate> rank_lattice_peaks(std::span<const float> scores, std::int64_t points_in_time,
                                          std::size_t width, std::uint64_t max_cand) {
    if (scores.size() != static_cast<std::size_t>(points_in_time) * width) {
        internal_fault("score map of the wrong size");
    }
    // Two peaks are never within 3 steps of each other, so at most one per 4 x 4 block.
    std::vector<Candidate> peaks;
    peaks.reserve(static_cast<std::size_t>((points_in_time + 3) / 4) * ((width + 3) / 4));
    for (std::int64_t q = 0; q < points_in_time; ++q) {
        for (std::size_t h = 0; h < width; ++h) {
            if (is_peak(scores, points_in_time, width, q, h)) {
                peaks.push_back(Candidate{h, q, scores[static_cast<std::size_t>(q) * width + h]});
            }
        }
    }
    // Discovery order breaks ties, which makes the order total: a partial sort gives exactly the
    // first max_cand of a stable sort by descending score.
    const auto ranked = [](const Candidate& a, const Candidate& b) {
        if (a.score != b.score) return a.score > b.score;
        return a.time != b.time ? a.time < b.time : a.freq_bin < b.freq_bin;
    };
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(max_cand, peaks.size()));
    std::partial_sort(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(kept), peaks.end(), ranked);
    peaks.resize(kept);
    return peaks;
}

std::vector<Candidate> find_lattice_candidates(const SearchMode& mode, const SubGrids& sub_grids,
                                               std::uint64_t max_cand) {
    const std::size_t width = 4 * (sub_grids.n_bins - mode.tones) + 1;
    return rank_lattice_peaks(score_map(mode, sub_grids, width), sub_grids.points_in_time, width, max_cand);
}

void complete_data_cells(const SearchMode& mode, std::span<const Complex> iq, SubGrids& sub_grids,
                         std::span<const Candidate> candidates) {
    std::vector<WaterfallRow> rows;
    rows.reserve(mode.data_symbols.size());
    for (const Candidate& c : candidates) {
        const std::size_t k = static_cast<std::size_t>(c.time % 4), j = c.freq_bin % 4;
        Waterfall& grid = sub_grids.grids[4 * k + j];
        const std::int64_t t = c.time / 4;
        const std::size_t f = c.freq_bin / 4;
        rows.clear();
        for (const std::uint8_t symbol : mode.data_symbols) {
            const std::int64_t row = t + symbol;
            if (row >= static_cast<std::int64_t>(grid.n_rows)) break;
            rows.push_back(stored_row(iq, sub_grids.start + k * (mode.row_len / 4), mode.row_len, row, f, grid));
        }
        waterfall_rows(rows, sub_grids.steps[j].data() + f, mode.tones);
    }
}

std::vector<float> lattice_soft_values(const SearchMode& mode, const SubGrids& sub_grids, const Candidate& candidate) {
    const Waterfall& grid = sub_grids.grids[4 * (candidate.time % 4) + candidate.freq_bin % 4];
    const std::int64_t t = candidate.time / 4;
    const std::size_t f = candidate.freq_bin / 4;
    const std::size_t bits = mode.zero_tones.size();
    std::vector<float> llr(sync_soft_value_count, 0.0f);
    std::array<float, 8> s{};
    for (std::size_t d = 0; d < mode.data_symbols.size(); ++d) {
        const std::int64_t row = t + mode.data_symbols[d];
        if (row >= sub_grids.n_rows) continue;
        for (std::size_t m = 0; m < mode.tones; ++m) s[m] = cell(grid, row, f + m);
        for (std::size_t b = 0; b < bits; ++b) {
            // Starting from NaN, the first tone of each set wins its first comparison.
            float zero = std::numeric_limits<float>::quiet_NaN(), one = zero;
            for (std::size_t m = 0; m < mode.tones; ++m) {
                float& best = ((mode.zero_tones[b] >> m) & 1u) ? zero : one;
                best = max_ignoring_nan(best, s[m]);
            }
            llr[d * bits + b] = zero - one;
        }
    }
    float sum = 0.0f;
    for (float v : llr) sum = sum + v * v;
    const float ms = sum / static_cast<float>(sync_soft_value_count);
    if (ms > 1e-10f) {
        const float factor = std::sqrt(24.0f / ms);
        for (float& v : llr) v = v * factor;
    }
    return llr;
}

std::expected<std::vector<SyncResult>, SyncSpanError> run_sync(const SearchMode& mode, std::span<const Complex> iq,
                                                               float fs, float base_hz, float max_hz,
                                                               std::int32_t t_min, std::int32_t t_max,
                                                               std::uint64_t max_cand) {
    auto sub_grids = build_sub_grids(mode, iq, fs, base_hz, max_hz, t_min, t_max);
    if (!sub_grids) return std::unexpected(sub_grids.error());
    const std::vector<Candidate> candidates = find_lattice_candidates(mode, *sub_grids, max_cand);
    complete_data_cells(mode, iq, *sub_grids, candidates);
    const std::int64_t first_symbol = std::max<std::int32_t>(t_min, 0);
    std::vector<SyncResult> results;
    results.reserve(candidates.size());
    for (const Candidate& c : candidates) {
        results.push_back(SyncResult{first_symbol + (c.time + 2) / 4, (c.freq_bin + 2) / 4, c.score,
                                     lattice_soft_values(mode, *sub_grids, c)});
    }
    return results;
}

std::vector<Candidate> find_candidates(const SubGrids& sub_grids, std::uint64_t max_cand) {
    return find_lattice_candidates(ft8_search_mode, sub_grids, max_cand);
}

std::expected<std::vector<Ft8SyncResult>, SyncSpanError> ft8_sync(std::span<const Complex> iq, float fs,
                                                                  float base_hz, float max_hz, std::int32_t t_min,
                                                                  std::int32_t t_max, std::uint64_t max_cand) {
    return run_sync(ft8_search_mode, iq, fs, base_hz, max_hz, t_min, t_max, max_cand);
}

}  // namespace kavro
