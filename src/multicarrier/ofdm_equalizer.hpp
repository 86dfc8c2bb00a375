#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/block.hpp"
#include "core/complex.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "multicarrier/pilot_layout.hpp"

// One-tap, per-bin channel equaliser of the OFDM receivers. In training mode the coefficients are
// estimated once from a known training symbol and then held; in pilot mode the channel is
// re-estimated on every symbol from the pilots and interpolated linearly to the data bins, with
// an optional set of keyed layouts for grids whose pilots move from symbol to symbol.
//
// Bins whose estimated |H|² falls below 1e-6 (or is not a number) are equalised to 0 rather
// than to an unbounded value.

namespace kavro {

enum class EqualizerMode : std::uint32_t { TrainingSymbol = 0, PilotInterp = 1 };

class OfdmEqualizer {
public:
    using Input = Complex;
    using Output = Complex;

    static constexpr float min_channel_power = 1e-6f;

    // The coefficient process applies for an estimate h: conj(h) / |h|², or 0 when |h|² is below
    // min_channel_power or not a number.
    static Complex inverse_or_zero(Complex h) {
        const float power = norm(h);
        if (!(power >= min_channel_power)) return {};
        return {h.re / power, -h.im / power};
    }

    // The configuration's plan must be valid (every OfdmConfig's is).
    OfdmEqualizer(const OfdmConfig& cfg, EqualizerMode mode);

    EqualizerMode mode() const { return mode_; }
    std::size_t n_fft() const { return n_fft_; }
    std::size_t input_block_size() const { return n_fft_; }
    std::size_t output_block_size() const { return n_fft_; }

    // freq: the unscaled FFT of one received training symbol (prefix removed). Sets every bin's
    // coefficient to 1/H with H = freq / X, X the transmitted training sequence. Does nothing in
    // pilot mode or when freq holds fewer than n_fft cells.
    void estimate_from_training_symbol(std::span<const Complex> freq);

    // Makes the layout of `key` current, building it from the lists on the key's first use (the
    // lists are ignored once the key is known). Bins must lie below n_fft (internal fault
    // otherwise).
    void select_pilot_layout(std::size_t key, std::span<const GridPilot> pilots, std::span<const std::size_t> data_bins);

    // Equalises the first n_fft cells into the first n_fft output cells and returns n_fft;
    // returns 0 and writes nothing when either slice is shorter.
    std::size_t process(std::span<const Complex> input, std::span<Complex> output);

    // Pilot mode: the channel estimate process would form from the first n_fft cells, without
    // equalising them (for a caller that needs only some bins). Does nothing in training mode or
    // when input is shorter.
    void estimate(std::span<const Complex> input);

    std::span<const Complex> training_coefficients() const { return coefficients_; }
    std::span<const Complex> channel_estimate() const { return channel_; }

private:
    void estimate_from_pilots(const PilotLayout& layout, std::span<const Complex> input);
    const PilotLayout* current_layout() const;

    std::optional<std::size_t> current_key_;
    std::vector<Complex> channel_;        // pilot mode: H per bin, kept between symbols
    std::vector<Complex> coefficients_;   // training mode: 1/H per bin
    std::vector<Complex> training_;       // training mode: the transmitted training sequence
    PilotLayout base_layout_;
    std::vector<std::pair<std::size_t, PilotLayout>> keyed_layouts_;
    std::size_t n_fft_;
    EqualizerMode mode_;
};

}  // namespace kavro
