#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "codec/ft8.hpp"
#include "core/complex.hpp"
#include "sync/waterfall.hpp"

// Candidate search for FT8 (and, through the same machinery, FT4): find where in time and
// frequency a recording holds a frame, by how far the cells of the mode's Costas arrays stand
// above their four neighbours in a waterfall with one row per symbol and one bin per tone
// spacing, and hand out each candidate's soft values for the soft decoder.
//
// A waterfall aligned with the frame scores well; one half a symbol or half a spacing off scores
// nothing. So the search runs 16 waterfalls, sub-grid (k, j) starting k quarter symbols later and
// j quarter spacings higher than the first, and treats them as one lattice four times finer in
// time and frequency: lattice point (q, h) = (4t + k, 4f + j) is window t, base bin f of sub-grid
// (k, j). Its frame starts at sample start + q·row/4 with tone 0 at base_hz + h·spacing/4.
// Candidates are the local peaks of the score over the lattice.

namespace kavro {

inline constexpr std::size_t sync_soft_value_count = 174;
inline constexpr std::size_t sub_grid_count = 16;

// One lattice point kept by the search.
struct Candidate {
    std::size_t freq_bin = 0;  // h, in quarter spacings from base_hz
    std::int64_t time = 0;     // q, in quarter symbols from the first window
    float score = 0.0f;        // never negative, never NaN, possibly +infinity

    friend bool operator==(const Candidate&, const Candidate&) = default;
};

// One candidate as the caller receives it, with its position rounded to whole symbols and bins.
struct SyncResult {
    std::int64_t time_sym = 0;  // first symbol of the frame, counted from the start of the input
    std::size_t freq_bin = 0;   // tone 0 at base_hz + freq_bin·spacing
    float score = 0.0f;
    std::vector<float> llr;  // 174 values, positive favouring bit 0

    friend bool operator==(const SyncResult&, const SyncResult&) = default;
};
using Ft8SyncResult = SyncResult;
using Ft4SyncResult = SyncResult;

// The 16 waterfalls of one search, sub-grid (k, j) at index 4k + j. Each stores only its rows
// that start inside the input; its other rows, up to n_rows, read 0.0. Of the stored rows,
// build_sub_grids computes those that hold a Costas cell or one of its neighbours for some
// window; the data cells of the candidates follow in complete_data_cells.
struct SubGrids {
    std::array<Waterfall, sub_grid_count> grids;
    std::array<std::vector<Complex>, 4> steps;  // the bins' phasor steps of sub-grids (k, j) for each j
    std::uint64_t start = 0;                    // first sample of sub-grid (0, 0)
    std::int64_t n_rows = 1;                    // rows of the search geometry
    std::int64_t last_window = 0;               // T: windows 0 .. T are searched
    std::int64_t points_in_time = 0;            // lattice rows q = 0, 1, ... whose windows start inside the input
    std::size_t n_bins = 0;
};

// A frequency span of more than 2^24 bins, or an infinite one.
struct SyncSpanError {
    const char* function = "";
};
std::string error_message(const SyncSpanError& error);

// What distinguishes FT8 from FT4 in the search.
struct CostasCell {
    std::uint8_t symbol = 0;  // frame symbol
    std::uint8_t tone = 0;
};

struct SearchMode {
    const char* function;                        // the entry point (ft8_sync, ft4_sync), named in errors
    std::size_t row_len;                         // samples per symbol
    float spacing;                               // Hz between tones
    std::int64_t frame_len;                      // L, symbols per frame
    std::size_t tones;                           // M
    std::size_t extra_bins;                      // G, bins added beyond the span
    std::span<const CostasCell> costas;          // visiting order: array by array, symbol by symbol
    std::span<const std::uint8_t> data_symbols;  // frame symbols in codeword order
    std::span<const std::uint8_t> zero_tones;    // per bit (most significant first): mask of the tones sending 0
};

// Per bit of a data symbol, most significant first: the mask of the tones whose gray-inverse has
// that bit 0.
template <std::size_t Bits, std::size_t Tones>
constexpr std::array<std::uint8_t, Bits> zero_tone_masks(const std::array<std::uint8_t, Tones>& gray_map) {
    std::array<std::uint8_t, Bits> masks{};
    for (std::size_t b = 0; b < Bits; ++b) {
        for (std::size_t v = 0; v < Tones; ++v) {
            if (((v >> (Bits - 1 - b)) & 1u) != 0) continue;
            masks[b] = static_cast<std::uint8_t>(masks[b] | (1u << gray_map[v]));
        }
    }
    return masks;
}

// The cells of Costas arrays placed at the given frame symbols, array by array.
template <std::size_t Arrays, std::size_t Length>
constexpr std::array<CostasCell, Arrays * Length> costas_cells(
    const std::array<std::array<std::uint8_t, Length>, Arrays>& arrays, const std::array<std::uint8_t, Arrays>& at) {
    std::array<CostasCell, Arrays * Length> cells{};
    for (std::size_t a = 0; a < Arrays; ++a) {
        for (std::size_t i = 0; i < Length; ++i) {
            cells[a * Length + i] = CostasCell{static_cast<std::uint8_t>(at[a] + i), arrays[a][i]};
        }
    }
    return cells;
}

// The frame symbols that carry data tones, in codeword order.
template <std::size_t Count, std::size_t Symbols>
constexpr std::array<std::uint8_t, Count> data_symbol_list(const std::array<std::uint8_t, Symbols>& layout) {
    std::array<std::uint8_t, Count> symbols{};
    std::size_t n = 0;
    for (std::size_t s = 0; s < Symbols; ++s) {
        if (layout[s] == codec::data_symbol) symbols[n++] = static_cast<std::uint8_t>(s);
    }
    return symbols;
}

extern const SearchMode ft8_search_mode;

// The geometry and the 16 waterfalls (their Costas rows) for a search over start symbols
// [t_min, t_max] and tone-0 frequencies base_hz .. max_hz; sizes that cannot be stored throw
// std::length_error or std::bad_alloc.
std::expected<SubGrids, SyncSpanError> build_sub_grids(const SearchMode& mode, std::span<const Complex> iq, float fs,
                                                       float base_hz, float max_hz, std::int32_t t_min,
                                                       std::int32_t t_max);

// The peaks of a score map over lattice points (row-major by q, `width` points per row), ranked
// by descending score with equal scores in discovery order, at most max_cand of them. A point is
// a peak when its score is above 0 and above that of every other point within 3 steps in q and
// in h; an equal score counts as below when its point comes later in discovery order.
std::vector<Candidate> rank_lattice_peaks(std::span<const float> scores, std::int64_t points_in_time,
                                          std::size_t width, std::uint64_t max_cand);

// The lattice peaks by descending score (equal scores in discovery order, q then h ascending),
// at most max_cand of them.
std::vector<Candidate> find_lattice_candidates(const SearchMode& mode, const SubGrids& sub_grids,
                                               std::uint64_t max_cand);

// Computes the cells of the candidates' data symbols (their M bins in each row) from `iq`, the
// input the sub-grids were built from.
void complete_data_cells(const SearchMode& mode, std::span<const Complex> iq, SubGrids& sub_grids,
                         std::span<const Candidate> candidates);

// The 174 normalised soft values of a candidate, read from its sub-grid.
std::vector<float> lattice_soft_values(const SearchMode& mode, const SubGrids& sub_grids, const Candidate& candidate);

// The whole search: sub-grids, candidates and their soft values.
std::expected<std::vector<SyncResult>, SyncSpanError> run_sync(const SearchMode& mode, std::span<const Complex> iq,
                                                               float fs, float base_hz, float max_hz,
                                                               std::int32_t t_min, std::int32_t t_max,
                                                               std::uint64_t max_cand);

// FT8: the lattice candidates of sub-grids built with ft8_search_mode, and the whole search.
std::vector<Candidate> find_candidates(const SubGrids& sub_grids, std::uint64_t max_cand);

std::expected<std::vector<Ft8SyncResult>, SyncSpanError> ft8_sync(std::span<const Complex> iq, float fs,
                                                                  float base_hz, float max_hz, std::int32_t t_min,
                                                                  std::int32_t t_max, std::uint64_t max_cand);

}  // namespace kavro
