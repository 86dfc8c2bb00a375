#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/fft_block.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "multicarrier/ofdm_equalizer.hpp"

// OFDM receiver of one symbol per call: drops the cyclic prefix (the FFT window starts right
// after it), transforms, equalises, gathers the data cells in plan order and decides hard bits.
// Only the equaliser carries state from one call to the next.

namespace kavro {

struct OfdmDemodError {
    enum class Kind : std::uint8_t { UnknownEqualizer, DemodulateTooShort, EstimateTooShort };
    Kind kind = Kind::UnknownEqualizer;
    std::string keyword;     // UnknownEqualizer
    std::size_t given = 0;   // the too-short input's length
    std::size_t needed = 0;  // n_fft + cp_len
};

std::string error_message(const OfdmDemodError& error);

// "training_symbol" or "pilot_interp", matched exactly.
std::expected<EqualizerMode, OfdmDemodError> parse_equalizer(std::string_view keyword);

// The hard decisions of slice_cells, bits_per_cell(order) per cell, with the QAM rank found by an
// arithmetic estimate corrected against the neighbouring thresholds instead of a search.
void hard_decide_cells(ConstellationOrder order, std::span<const Complex> cells, std::span<std::uint8_t> bits);

// The data-bin gather of the receivers: the cells at the grid's data bins, in plan order.
class GridExtract {
public:
    explicit GridExtract(const CarrierGrid& grid) : data_bins_(grid.data_bins) {}

    std::size_t cells() const { return data_bins_.size(); }

    // symbol holds the n_fft equalised cells; out receives cells() values.
    void gather(std::span<const Complex> symbol, std::span<Complex> out) const {
        for (std::size_t i = 0; i < data_bins_.size(); ++i) out[i] = symbol[data_bins_[i]];
    }

private:
    std::vector<std::size_t> data_bins_;
};

class OfdmDemod {
public:
    // equalizer defaults to "training_symbol".
    static std::expected<OfdmDemod, OfdmDemodError> create(const OfdmConfig& cfg,
                                                           std::optional<std::string_view> equalizer);

    OfdmDemod(const OfdmConfig& cfg, EqualizerMode mode);

    // The bits of the first symbol of iq (bits_per_ofdm_symbol of them); the rest of iq is
    // ignored. Fails when iq holds fewer than n_fft + cp_len samples.
    std::expected<std::vector<std::uint8_t>, OfdmDemodError> demodulate(std::span<const Complex> iq);

    // As demodulate, with the equalised data cells (one per data carrier) before the bits.
    std::expected<std::pair<std::vector<Complex>, std::vector<std::uint8_t>>, OfdmDemodError> demodulate_soft(
        std::span<const Complex> iq);

    // Estimates and holds the channel from one training symbol (prefix included); a no-op for
    // the pilot equaliser beyond the length check.
    std::expected<void, OfdmDemodError> estimate_channel(std::span<const Complex> training_iq);

    const OfdmConfig& config() const { return cfg_; }
    EqualizerMode equalizer_mode() const { return equalizer_.mode(); }
    std::size_t samples_per_ofdm_symbol() const { return samples_per_symbol_; }
    std::size_t bits_per_ofdm_symbol() const { return bits_per_symbol_; }

private:
    // Prefix removal, FFT, equalisation and gather into cells_; false when iq is too short.
    bool demodulate_cells(std::span<const Complex> iq);
    std::vector<std::uint8_t> decide() const;

    OfdmConfig cfg_;
    FftBlock fft_;
    OfdmEqualizer equalizer_;
    GridExtract extract_;
    std::vector<Complex> equalized_;
    std::vector<Complex> cells_;
    std::size_t samples_per_symbol_;
    std::size_t bits_per_symbol_;
};

// Per-packet receive diagnostics: the hard bits, the EVM of the soft cells against them and the
// symbol count. Acquisition and channel fields stay empty until a stage fills them.
class OfdmRxFrame {
public:
    OfdmRxFrame(std::vector<std::uint8_t> bits, std::optional<float> evm_db, std::size_t num_symbols)
        : bits_(std::move(bits)), evm_db_(evm_db), num_symbols_(num_symbols) {}

    std::vector<std::uint8_t> bits() const { return bits_; }  // a copy on every read
    std::optional<float> evm_db() const { return evm_db_; }
    std::optional<float> cfo_hz() const { return cfo_hz_; }
    std::optional<std::int32_t> timing_offset_samples() const { return timing_offset_samples_; }
    std::optional<float> channel_mse() const { return channel_mse_; }
    std::size_t num_symbols() const { return num_symbols_; }

private:
    std::vector<std::uint8_t> bits_;
    std::optional<float> evm_db_;
    std::optional<float> cfo_hz_;
    std::optional<std::int32_t> timing_offset_samples_;
    std::optional<float> channel_mse_;
    std::size_t num_symbols_;
};

// Symbol count = soft cells / data carriers (0 without data carriers); EVM of the cells against
// the points the bits map to, for cfg's constellation.
OfdmRxFrame build_ofdm_rx_frame(const OfdmConfig& cfg, std::span<const Complex> soft_symbols,
                                std::span<const std::uint8_t> bits);

}  // namespace kavro
