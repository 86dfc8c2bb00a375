#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/fft_block.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "multicarrier/ofdm_equalizer.hpp"

// The symbols of one section of a frame body (its header or its payload) back to soft values.
// Each symbol's FFT window starts cp_len - b samples into it, b the window back-off; its data
// cells are gathered in carrier order and demapped with the section's constellation.
//
// With training bins the cells are equalised from them (b = min(rx_window_backoff, cp_len), the
// training symbol's window having moved as far) and, when the section spans at least four
// symbols, have a common phase drift removed: a decision-directed first pass measures each
// symbol's phase and a least-squares line through those phases is taken out. The first pass
// starts from the line the previous section predicts: a residual carrier offset turns the phase
// steadily from the training symbol on, and by the first payload symbol that turn can exceed what
// the payload's decisions tolerate (a quarter turn for QPSK, much less for QAM). Each cell's soft
// values are then weighed by the channel. Without training bins the cells are demapped exactly as
// the FFT returns them, so the samples must arrive at unit gain and zero phase; the FFT window
// then starts right after each prefix (b = 0), since without an equaliser a window moved into the
// prefix would turn every bin by its own phase.

namespace kavro {

// A section's common phase as a line over its symbols: intercept + slope·k for symbol k.
struct PhaseLine {
    float intercept = 0.0f;
    float slope = 0.0f;

    float at(std::size_t symbol) const { return intercept + slope * static_cast<float>(symbol); }
};

// The samples end before the section's last symbol: the caller waits for more.
struct NeedMoreSamples {
    friend constexpr bool operator==(NeedMoreSamples, NeedMoreSamples) = default;
};

// Where a section lies in the body, how it was mapped and, with an equaliser, the phase the
// previous section predicts for its symbols.
struct Section {
    ConstellationOrder constellation = ConstellationOrder::Bpsk;
    std::size_t first_symbol = 0;
    std::size_t symbols = 0;
    PhaseLine expected;
};

// The window back-off of sections equalised from training bins, and so of the training symbol's
// own window: min(rx_window_backoff, cp_len).
std::size_t equalized_window_backoff(const OfdmConfig& cfg);

// Hard decisions of soft values: bit 1 where the value is 0 or below (a NaN decides 0).
void hard_decisions(std::span<const float> llrs, std::span<std::uint8_t> bits);

// Built once for a configuration's carrier plan; its buffers grow to the largest section seen.
// One caller at a time.
class SectionDemodulator {
public:
    explicit SectionDemodulator(const OfdmConfig& cfg);

    // The training bins the following sections are equalised from (their FFT window moved as the
    // body's are), or none.
    void set_training(std::optional<std::span<const Complex>> training_bins);

    // Demodulates the section from `body` (the samples from the first symbol's prefix on) into
    // llrs() (symbols·D·bits-per-cell values, symbol after symbol) and cells() (the demapped
    // cells). With an equaliser and at least four symbols the fitted phase line is returned.
    std::expected<std::optional<PhaseLine>, NeedMoreSamples> demodulate(std::span<const Complex> body,
                                                                       const Section& section);

    std::span<float> llrs() { return llrs_; }
    std::span<const Complex> cells() const { return cells_; }

private:
    void transform(std::span<const Complex> body, std::size_t symbol);
    void demap(ConstellationOrder constellation, std::size_t symbols);
    std::optional<PhaseLine> track_common_phase(ConstellationOrder constellation, std::size_t symbols,
                                                PhaseLine expected);
    void weigh_by_channel(unsigned bits_per_cell);

    std::size_t n_fft_, cp_len_, rx_backoff_;
    FftBlock fft_;
    CarrierGrid grid_;
    OfdmEqualizer equalizer_;
    bool equalize_ = false;
    std::size_t backoff_ = 0;
    std::vector<Complex> bins_, equalized_;
    std::vector<float> llrs_;
    std::vector<Complex> cells_;
    // Phase tracking's per-symbol work and the channel weights.
    std::vector<Complex> derotated_, ideal_;
    std::vector<float> symbol_llrs_, phases_, weights_;
    std::vector<std::uint8_t> symbol_bits_;
};

}  // namespace kavro
