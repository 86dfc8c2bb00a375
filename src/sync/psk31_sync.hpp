#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"

// The PSK31 carrier search: a waterfall with one row per symbol and one bin every 31.25 Hz from
// base_hz to max_hz, a noise level per bin (the median over time) and for the band (the median of
// those), and every long enough run of cells in one bin that stand out in level and are a local
// spectral peak. Each run becomes a candidate with its start symbol, bin, carrier, mean log power
// and BPSK31 soft values demodulated from the run's start on the waterfall's symbol grid.

namespace kavro {

inline constexpr float psk31_bin_hz = 31.25f;
inline constexpr std::size_t psk31_max_waterfall_cells = 268435456;

struct Psk31SyncResult {
    std::vector<float> soft_bits;
    std::size_t time_sym = 0;
    std::size_t freq_bin = 0;
    float carrier_hz = 0.0f;
    float score = 0.0f;
};

// A waterfall too large to build.
struct Psk31SyncError {
    std::size_t n_time;
    std::size_t n_bins;
};

std::string error_message(const Psk31SyncError& error);

// Candidates, best score first, at most max_cand. A sample rate giving no samples per symbol or
// more than the demodulators take, a recording shorter than one symbol, or a span too large to
// count give none.
std::expected<std::vector<Psk31SyncResult>, Psk31SyncError> psk31_sync(std::span<const Complex> iq, float fs,
                                                                       float base_hz, float max_hz,
                                                                       std::size_t min_carrier_syms,
                                                                       float peak_margin_db, std::size_t n_bits,
                                                                       std::size_t max_cand);

// The median of single-precision values (m ≥ 1): the middle one, or the mean of the two middle
// ones for even m. NaN sorts after every number.
float median_f32(std::vector<float> values);

// Demodulates from the candidate's start and appends it with min(n_bits, whole symbols after
// the start) soft values; a start at or past the end records nothing.
void record_candidate(std::vector<Psk31SyncResult>& results, std::size_t time_sym, std::size_t freq_bin,
                      std::span<const Complex> iq, std::size_t n_bits, float base_hz, float score, float fs);

// Bins from base_hz up to max_hz (at least one), or empty when the count does not fit a size.
std::optional<std::size_t> psk31_bin_count(float base_hz, float max_hz);

struct Waterfall;

// A run of active cells in one bin: its first row, its bin and the mean of its cells.
struct Psk31CarrierRun {
    std::size_t time_sym;
    std::size_t freq_bin;
    float score;
    friend bool operator==(const Psk31CarrierRun&, const Psk31CarrierRun&) = default;
};

// Every run of at least min_syms active cells, by bin and then by start row. A cell is active
// when it stands margin above its bin's median (or its bin's median stands margin above the
// median of all bins) and is at least its neighbours in the same row.
std::vector<Psk31CarrierRun> psk31_carrier_runs(const Waterfall& w, std::size_t min_syms, float margin);

// What best_psk31_sync reads of one candidate.
struct Psk31SyncKey {
    float carrier_hz;
    std::size_t time_sym;
};

// The candidate to decode near carrier_hz: among those within 2 × baud, the earliest time_sym,
// then the nearer carrier, then the first in order. Empty when none lies within the window.
std::optional<std::size_t> best_psk31_index(std::span<const Psk31SyncKey> keys, float carrier_hz, float baud);

// Whether a candidate is the chosen one again: same start, carrier within 0.01 Hz.
bool psk31_same_candidate(const Psk31SyncKey& chosen, const Psk31SyncKey& other);

}  // namespace kavro
