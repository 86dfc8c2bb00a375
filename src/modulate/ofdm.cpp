#include "modulate/ofdm.hpp"

#include <algorithm>
#include <new>

#include "multicarrier/vector_kernels.hpp"

namespace kavro {

std::size_t ofdm_output_samples(std::size_t bit_count, std::size_t bits_per_symbol, std::size_t samples_per_symbol) {
    const std::size_t symbols = bit_count / bits_per_symbol + (bit_count % bits_per_symbol != 0 ? 1 : 0);
    const std::size_t limit = std::vector<Complex>().max_size();
    if (symbols != 0 && samples_per_symbol > limit / symbols) throw std::bad_alloc();
    return symbols * samples_per_symbol;
}

std::expected<OfdmMod, OfdmModError> OfdmMod::create(const OfdmConfig& cfg) {
    if (cfg.cp_len() > cfg.n_fft()) return std::unexpected(OfdmModError{cfg.cp_len(), cfg.n_fft()});
    return OfdmMod(cfg);
}

OfdmMod::OfdmMod(const OfdmConfig& cfg)
    : grid_(CarrierGrid::from_plan(cfg.plan())),
      ifft_(cfg.n_fft()),
      cells_(grid_.data_bins.size()),
      bits_per_symbol_(cfg.bits_per_ofdm_symbol()),
      n_fft_(cfg.n_fft()),
      cp_len_(cfg.cp_len()),
      constellation_(cfg.constellation()),
      gain_(cfg.gain()),
      rf_hz_(cfg.rf_hz()),
      nco_(cfg.rf_hz(), cfg.fs()) {
    last_bits_.resize(bits_per_symbol_);
    if (constellation_ == ConstellationOrder::Bpsk) {
        psk_points_ = {map_bpsk(0), map_bpsk(1), Complex{}, Complex{}};
    } else if (constellation_ == ConstellationOrder::Qpsk) {
        psk_points_ = {map_qpsk(0, 0), map_qpsk(0, 1), map_qpsk(1, 0), map_qpsk(1, 1)};
    }
}

std::vector<Complex> OfdmMod::modulate(std::span<const std::uint8_t> bits) {
    const std::size_t b = bits_per_symbol_;
    if (b == 0 || bits.empty()) return {};
    const std::size_t s = samples_per_ofdm_symbol();
    std::vector<Complex> out(ofdm_output_samples(bits.size(), b, s));

    const std::size_t whole = bits.size() / b;
    const std::size_t symbols = out.size() / s;
    for (std::size_t m = 0; m < whole; ++m) {
        modulate_symbol(bits.subspan(m * b, b), std::span(out).subspan(m * s, s));
    }
    if (whole < symbols) {
        const std::span<const std::uint8_t> tail = bits.subspan(whole * b);
        std::copy(tail.begin(), tail.end(), last_bits_.begin());
        std::fill(last_bits_.begin() + static_cast<std::ptrdiff_t>(tail.size()), last_bits_.end(), std::uint8_t{0});
        modulate_symbol(last_bits_, std::span(out).subspan(whole * s, s));
    }
    return out;
}

void OfdmMod::map_symbol(std::span<const std::uint8_t> bits) {
    const std::size_t count = cells_.size();
    switch (constellation_) {
        case ConstellationOrder::Bpsk:
            for (std::size_t k = 0; k < count; ++k) cells_[k] = psk_points_[bits[k] & 1u];
            return;
        case ConstellationOrder::Qpsk:
            for (std::size_t k = 0; k < count; ++k) {
                cells_[k] = psk_points_[((bits[2 * k] & 1u) << 1) | (bits[2 * k + 1] & 1u)];
            }
            return;
        default: map_cells(constellation_, bits, cells_); return;
    }
}

void OfdmMod::modulate_symbol(std::span<const std::uint8_t> bits, std::span<Complex> out) {
    map_symbol(bits);

    const std::span<Complex> grid = ifft_.input();
    std::fill(grid.begin(), grid.end(), Complex{});
    for (std::size_t i = 0; i < cells_.size(); ++i) grid[grid_.data_bins[i]] = cells_[i];
    for (const GridPilot& pilot : grid_.pilots) grid[pilot.bin] = pilot.value;
    ifft_.execute();

    // The prefix is the last cp_len samples of the scaled transform, then the symbol itself.
    const std::span<const Complex> time = ifft_.unscaled_output();
    const float scale = ifft_.scale();
    const std::size_t tail = n_fft_ - cp_len_;
    if (rf_hz_ != 0.0f) {
        for (std::size_t j = 0; j < cp_len_; ++j) out[j] = ((time[tail + j] * scale) * nco_.next()) * gain_;
        for (std::size_t j = 0; j < n_fft_; ++j) out[cp_len_ + j] = ((time[j] * scale) * nco_.next()) * gain_;
    } else {
        detail::scale_complex_twice(time.data() + tail, cp_len_, scale, gain_, out.data());
        detail::scale_complex_twice(time.data(), n_fft_, scale, gain_, out.data() + cp_len_);
    }
}

}  // namespace kavro
