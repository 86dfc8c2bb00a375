#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/ofdm_config.hpp"

// The OFDM burst preamble and its search. A preamble is one short pseudo-random segment sent
// num_repeats times in a row, optionally followed by one training OFDM symbol with its cyclic
// prefix. The search correlates the stream with itself delayed by one segment: the magnitude of
// that correlation finds the preamble, its phase gives the carrier-frequency offset modulo
// fs / repeat_len, and the training symbol's spectrum, correlated with the known reference,
// resolves the remaining whole number of FFT bins.

namespace kavro {

struct TrainingShape {
    std::size_t n_fft = 0;
    std::size_t cp_len = 0;

    friend constexpr bool operator==(const TrainingShape&, const TrainingShape&) = default;
};

struct PreambleParams {
    std::size_t num_repeats = 0;
    std::size_t repeat_len = 0;
    std::optional<TrainingShape> training;

    // A training symbol only when both of its sizes are given; one alone is ignored.
    static PreambleParams from_parts(std::size_t num_repeats, std::size_t repeat_len,
                                     std::optional<std::size_t> training_n_fft,
                                     std::optional<std::size_t> training_cp_len);

    // num_repeats·repeat_len plus the training symbol's n_fft + cp_len, or nothing when that
    // does not fit in a size.
    std::optional<std::size_t> total_len() const;

    friend constexpr bool operator==(const PreambleParams&, const PreambleParams&) = default;
};

// One candidate preamble start. The total offset is cfo_hz + integer_cfo_bins·fs/training n_fft.
struct OfdmSyncResult {
    std::size_t start_sample = 0;
    float cfo_hz = 0.0f;
    std::int32_t integer_cfo_bins = 0;
    float score = 0.0f;  // in [0, 1]

    friend constexpr bool operator==(const OfdmSyncResult&, const OfdmSyncResult&) = default;
};

struct PreambleError {
    enum class Kind : std::uint8_t { TrainingPrefixTooLong, TrainingTooLarge, TooLong };
    Kind kind = Kind::TooLong;
    std::size_t num_repeats = 0;
    std::size_t repeat_len = 0;
    std::size_t training_n_fft = 0;
    std::size_t training_cp_len = 0;
};

std::string error_message(const PreambleError& error);

// The largest training FFT the preamble functions transform.
inline constexpr std::size_t max_training_n_fft = 0x7FFFFFFF;

// The repeated segment, repeat_len samples. When the plan's n_fft is a multiple m·repeat_len and
// some bin k·m (k >= 1) lies within the plan's outermost carrier, the segment is one period of
// the inverse FFT of a pseudo-random spectrum on the bins ±k·m, scaled to mean power
// 4·n_data/n_fft²; otherwise it is the unscaled unit-magnitude pseudo-random sequence.
std::vector<Complex> band_limited_repeat_base(const OfdmConfig& cfg, std::size_t repeat_len);

// The segment num_repeats times, then the training symbol (prefix first) restricted to the plan's
// data and pilot bins, all times the configuration's gain. Refuses a training prefix longer than
// its symbol, a training FFT beyond max_training_n_fft and a length that does not fit in memory.
std::expected<std::vector<Complex>, PreambleError> generate_ofdm_preamble(const OfdmConfig& cfg,
                                                                          const PreambleParams& params);

// Every start offset d in [search_start, min(len - preamble length, search_end)) with positive
// energy and a defined correlation ratio, best score first (equal scores in increasing d). Only
// the first five carry integer_cfo_bins. Degenerate layouts (num_repeats <= 1, repeat_len 0, a
// length that overflows) and an fs that is not positive give an empty list.
std::vector<OfdmSyncResult> ofdm_sync(std::span<const Complex> iq, const PreambleParams& params,
                                      std::size_t search_start, std::size_t search_end, float fs);

// The two operations with their arguments in the order the Python functions take them.
std::expected<std::vector<Complex>, PreambleError> generate_ofdm_preamble_call(
    const OfdmConfig& cfg, std::size_t num_repeats, std::size_t repeat_len, std::optional<std::size_t> training_n_fft,
    std::optional<std::size_t> training_cp_len);

std::vector<OfdmSyncResult> ofdm_sync_call(std::span<const Complex> iq, float fs, std::size_t num_repeats,
                                           std::size_t repeat_len, std::size_t search_start, std::size_t search_end,
                                           std::optional<std::size_t> training_n_fft,
                                           std::optional<std::size_t> training_cp_len);

}  // namespace kavro
