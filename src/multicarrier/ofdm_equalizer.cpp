#include "multicarrier/ofdm_equalizer.hpp"

#include "core/internal_fault.hpp"
#include "core/pseudo_random.hpp"

namespace kavro {

namespace {

// (a · conj(b)) / |b|², the division written out component by component. A zero b gives NaN.
Complex divide(Complex a, Complex b) {
    const Complex num = a * conj(b);
    const float den = norm(b);
    return {num.re / den, num.im / den};
}

}  // namespace

OfdmEqualizer::OfdmEqualizer(const OfdmConfig& cfg, EqualizerMode mode)
    : channel_(cfg.n_fft(), Complex{1.0f, 0.0f}),
      coefficients_(cfg.n_fft(), Complex{1.0f, 0.0f}),
      n_fft_(cfg.n_fft()),
      mode_(mode) {
    const CarrierGrid grid = CarrierGrid::from_plan(cfg.plan());
    base_layout_ = PilotLayout::build(grid.pilots, grid.data_bins);
    if (mode_ == EqualizerMode::TrainingSymbol) training_ = pseudo_random_unit_sequence(n_fft_, training_seed);
}

void OfdmEqualizer::estimate_from_training_symbol(std::span<const Complex> freq) {
    if (mode_ != EqualizerMode::TrainingSymbol || freq.size() < n_fft_) return;
    for (std::size_t k = 0; k < n_fft_; ++k) coefficients_[k] = inverse_or_zero(divide(freq[k], training_[k]));
}

void OfdmEqualizer::select_pilot_layout(std::size_t key, std::span<const GridPilot> pilots,
                                        std::span<const std::size_t> data_bins) {
    bool known = false;
    for (const auto& keyed : keyed_layouts_) known = known || keyed.first == key;
    if (!known) {
        PilotLayout layout = PilotLayout::build(pilots, data_bins);
        if (!layout.fits(n_fft_)) internal_fault("OfdmEqualizer::select_pilot_layout: bin beyond n_fft");
        keyed_layouts_.emplace_back(key, std::move(layout));
    }
    current_key_ = key;
}

void OfdmEqualizer::estimate_from_pilots(const PilotLayout& layout, std::span<const Complex> input) {
    if (layout.pilots.empty()) return;
    for (const GridPilot& pilot : layout.pilots) channel_[pilot.bin] = divide(input[pilot.bin], pilot.value);
    for (const PilotLayoutEntry& e : layout.entries) {
        const Complex left = channel_[e.left_bin];
        channel_[e.data_bin] = left + (channel_[e.right_bin] - left) * e.weight;
    }
}

std::size_t OfdmEqualizer::process(std::span<const Complex> input, std::span<Complex> output) {
    const std::size_t n = n_fft_;
    if (input.size() < n || output.size() < n) return 0;
    if (mode_ == EqualizerMode::TrainingSymbol) {
        for (std::size_t k = 0; k < n; ++k) output[k] = input[k] * coefficients_[k];
        return n;
    }

    estimate(input);
    for (std::size_t k = 0; k < n; ++k) output[k] = input[k] * inverse_or_zero(channel_[k]);
    return n;
}

const PilotLayout* OfdmEqualizer::current_layout() const {
    if (!current_key_) return &base_layout_;
    for (const auto& keyed : keyed_layouts_)
        if (keyed.first == *current_key_) return &keyed.second;
    return nullptr;
}

void OfdmEqualizer::estimate(std::span<const Complex> input) {
    if (mode_ != EqualizerMode::PilotInterp || input.size() < n_fft_) return;
    // A key that was never added leaves the estimate of the previous symbol in place.
    if (const PilotLayout* layout = current_layout()) estimate_from_pilots(*layout, input);
}

}  // namespace kavro
