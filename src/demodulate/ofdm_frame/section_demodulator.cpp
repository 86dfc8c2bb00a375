#include "demodulate/ofdm_frame/section_demodulator.hpp"

#include <algorithm>
#include <cmath>

#include "multicarrier/ofdm_soft_demod.hpp"

namespace kavro {

namespace {

// Phase tracking needs enough symbols for its line fit to be worth more than its noise.
constexpr std::size_t min_tracked_symbols = 4;

Complex unit_phasor(float angle) {
    Complex p;
    ::sincosf(angle, &p.im, &p.re);
    return p;
}

// The least-squares line through phases[k] over k = 0..n-1; nothing when the fit is degenerate.
std::optional<PhaseLine> fit_line(std::span<const float> phases) {
    const auto n = static_cast<float>(phases.size());
    const float sk = n * (n - 1.0f) / 2.0f;
    const float skk = n * (n - 1.0f) * (2.0f * n - 1.0f) / 6.0f;
    float sp = 0.0f;
    float skp = 0.0f;
    for (std::size_t s = 0; s < phases.size(); ++s) {
        sp = sp + phases[s];
        skp = skp + static_cast<float>(s) * phases[s];
    }
    const float det = n * skk - sk * sk;
    if (std::fabs(det) <= 1.1920929e-07f) return std::nullopt;
    const float slope = (n * skp - sk * sp) / det;
    return PhaseLine{(sp - slope * sk) / n, slope};
}

}  // namespace

std::size_t equalized_window_backoff(const OfdmConfig& cfg) { return std::min(cfg.rx_window_backoff(), cfg.cp_len()); }

void hard_decisions(std::span<const float> llrs, std::span<std::uint8_t> bits) {
    for (std::size_t i = 0; i < llrs.size(); ++i) bits[i] = llrs[i] <= 0.0f ? 1 : 0;
}

SectionDemodulator::SectionDemodulator(const OfdmConfig& cfg)
    : n_fft_(cfg.n_fft()),
      cp_len_(cfg.cp_len()),
      rx_backoff_(equalized_window_backoff(cfg)),
      fft_(cfg.n_fft()),
      grid_(CarrierGrid::from_plan(cfg.plan())),
      equalizer_(cfg, EqualizerMode::TrainingSymbol),
      bins_(cfg.n_fft()),
      equalized_(cfg.n_fft()) {}

void SectionDemodulator::set_training(std::optional<std::span<const Complex>> training_bins) {
    equalize_ = training_bins.has_value();
    backoff_ = equalize_ ? rx_backoff_ : 0;
    if (training_bins) equalizer_.estimate_from_training_symbol(*training_bins);
}

// Symbol m's window: the n samples from m·(n + c) + c - b, the prefix skipped but for its last b.
void SectionDemodulator::transform(std::span<const Complex> body, std::size_t symbol) {
    const std::size_t stride = n_fft_ + cp_len_;
    fft_.process(body.subspan(symbol * stride + cp_len_ - backoff_, n_fft_), bins_);
}

std::expected<std::optional<PhaseLine>, NeedMoreSamples> SectionDemodulator::demodulate(std::span<const Complex> body,
                                                                                       const Section& section) {
    const std::size_t stride = n_fft_ + cp_len_;
    const std::size_t offset = section.first_symbol * stride;
    if (offset > body.size() || (body.size() - offset) / stride < section.symbols) return std::unexpected(NeedMoreSamples{});

    const std::size_t d = grid_.data_bins.size();
    const std::span<const std::size_t> data_bins = grid_.data_bins;
    cells_.resize(section.symbols * d);
    for (std::size_t m = 0; m < section.symbols; ++m) {
        transform(body, section.first_symbol + m);
        if (equalize_) equalizer_.process(bins_, equalized_);
        const std::span<const Complex> symbol_bins = equalize_ ? equalized_ : bins_;
        for (std::size_t i = 0; i < d; ++i) cells_[m * d + i] = symbol_bins[data_bins[i]];
    }

    std::optional<PhaseLine> line;
    if (equalize_ && section.symbols >= min_tracked_symbols && d > 0)
        line = track_common_phase(section.constellation, section.symbols, section.expected);
    demap(section.constellation, section.symbols);
    if (equalize_) weigh_by_channel(bits_per_cell(section.constellation));
    return line;
}

void SectionDemodulator::demap(ConstellationOrder constellation, std::size_t symbols) {
    const std::size_t d = grid_.data_bins.size();
    const unsigned k = bits_per_cell(constellation);
    llrs_.resize(symbols * d * k);
    for (std::size_t m = 0; m < symbols; ++m) {
        soft_demap_cells(constellation, std::span<const Complex>(cells_).subspan(m * d, d),
                         std::span<float>(llrs_).subspan(m * d * k, d * k));
    }
}

// A decision-directed loop, started on the expected line, measures each symbol's phase; then every
// symbol is derotated by a least-squares line through those phases, which is returned.
std::optional<PhaseLine> SectionDemodulator::track_common_phase(ConstellationOrder constellation,
                                                                std::size_t symbols, PhaseLine expected) {
    const std::size_t d = grid_.data_bins.size();
    const unsigned k = bits_per_cell(constellation);
    derotated_.resize(d);
    ideal_.resize(d);
    symbol_llrs_.resize(d * k);
    symbol_bits_.resize(d * k);
    phases_.resize(symbols);

    float theta = expected.intercept;
    float rate = expected.slope;
    for (std::size_t s = 0; s < symbols; ++s) {
        const Complex derotate = conj(unit_phasor(theta));
        const Complex* y = cells_.data() + s * d;
        for (std::size_t i = 0; i < d; ++i) derotated_[i] = y[i] * derotate;
        soft_demap_cells(constellation, derotated_, symbol_llrs_);
        hard_decisions(symbol_llrs_, symbol_bits_);
        map_cells(constellation, symbol_bits_, ideal_);
        Complex p{};
        for (std::size_t i = 0; i < d; ++i) p = p + derotated_[i] * conj(ideal_[i]);
        const float error = (p.re == 0.0f && p.im == 0.0f) ? 0.0f : std::atan2(p.im, p.re);
        phases_[s] = theta + error;
        theta = theta + rate + 0.5f * error;
        rate = rate + 0.05f * error;
    }

    const std::optional<PhaseLine> line = fit_line(phases_);
    if (!line) return std::nullopt;
    for (std::size_t s = 0; s < symbols; ++s) {
        const Complex derotate = conj(unit_phasor(line->at(s)));
        Complex* y = cells_.data() + s * d;
        for (std::size_t i = 0; i < d; ++i) y[i] = y[i] * derotate;
    }
    return line;
}

// A cell divided by a weak channel estimate carries that much more noise: its soft values (k per
// cell, cells in data-carrier order symbol after symbol) are weighed by |H|² over the mean |H|²
// of the data bins, so that a bin the training symbol found faint cannot outvote the others.
void SectionDemodulator::weigh_by_channel(unsigned bits_per_cell) {
    const std::span<const Complex> coefficients = equalizer_.training_coefficients();
    const std::size_t d = grid_.data_bins.size();
    weights_.resize(d);
    double total = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        const float c = norm(coefficients[grid_.data_bins[i]]);
        weights_[i] = c > 0.0f ? 1.0f / c : 0.0f;
        total += weights_[i];
    }
    const float mean = static_cast<float>(total / static_cast<double>(d));
    if (!(mean > 0.0f && std::isfinite(mean))) return;
    for (float& w : weights_) w = w / mean;
    const std::size_t k = bits_per_cell;
    const std::size_t symbols = d == 0 ? 0 : llrs_.size() / (d * k);
    for (std::size_t m = 0; m < symbols; ++m)
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t b = 0; b < k; ++b) llrs_[(m * d + i) * k + b] = llrs_[(m * d + i) * k + b] * weights_[i];
}

}  // namespace kavro
