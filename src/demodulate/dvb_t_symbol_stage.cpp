#include "demodulate/dvb_t_symbol_stage.hpp"

#include <cmath>
#include <limits>
#include <numbers>

#include "core/internal_fault.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "waveform/dvb_t_soft_llr.hpp"

namespace kavro {

namespace {

using waveform::dvb_t_data_carriers;
using waveform::dvb_t_n_fft;

// Scattered pilots of one symbol lie 12 carriers apart.
constexpr std::size_t pilot_lag = 12;

std::size_t carrier_of_bin(std::size_t bin) { return (bin + waveform::dvb_t_centre_carrier) % dvb_t_n_fft; }

DvbTCarrierLayout carrier_layout(const waveform::ScatteredGridCycle& cycle, std::size_t phase) {
    DvbTCarrierLayout layout;
    std::array<float, waveform::dvb_t_active_carriers> value{};  // 0 where there is no pilot
    for (const GridPilot& pilot : cycle.pilots_without_tps[phase]) {
        const std::size_t k = carrier_of_bin(pilot.bin);
        layout.pilots.push_back({k, pilot.value});
        value[k] = pilot.value.re;
    }
    for (const std::size_t bin : cycle.grids[phase].data_bins) layout.data.push_back(carrier_of_bin(bin));
    for (std::size_t k = 0; k + pilot_lag < value.size(); ++k)
        if (value[k] != 0.0f && value[k + pilot_lag] != 0.0f)
            layout.pairs.push_back({waveform::dvb_t_carrier_bin(k), waveform::dvb_t_carrier_bin(k + pilot_lag),
                                    value[k] * value[k + pilot_lag] > 0.0f ? 1.0f : -1.0f});
    return layout;
}

// The delay, in samples, about which the symbol's channel is centred: with H(k)·H*(k - 12)
// summed over the pilot pairs, each path of delay τ adds its power at the angle -2π·12·τ/2048, so
// the sum's angle gives the power-weighted centre of the paths (unambiguous within ±85 samples).
// The known window back-off is taken out first and added back; the back-off alone when the sum
// is 0 or not a number.
double delay_centre(std::span<const Complex> raw, std::span<const DvbTCarrierLayout::Pair> pairs,
                    std::size_t backoff) {
    double re = 0.0, im = 0.0;
    for (const auto& pair : pairs) {
        const Complex a = raw[pair.high_bin], b = raw[pair.low_bin];
        re += pair.sign * (static_cast<double>(a.re) * b.re + static_cast<double>(a.im) * b.im);
        im += pair.sign * (static_cast<double>(a.im) * b.re - static_cast<double>(a.re) * b.im);
    }
    const double lag_turn = 2.0 * std::numbers::pi * pilot_lag / dvb_t_n_fft;
    const double unwound = std::atan2(im, re) + lag_turn * static_cast<double>(backoff);
    const double residual = std::remainder(unwound, 2.0 * std::numbers::pi);
    if (!std::isfinite(residual) || (re == 0.0 && im == 0.0)) return static_cast<double>(backoff);
    return static_cast<double>(backoff) - residual / lag_turn;
}

// turned[k] = raw[bin of k]·e^(+j2π·(k - 852)·delay/2048) for every carrier k: the bins in carrier
// order with the channel's delay centre (window back-off included) moved to 0, which keeps the
// phase ramp between pilots as small as the paths allow. The turn runs as eight phasors a step
// apart, each advanced by eight steps at a time in single precision (a drift of about 1e-5 over
// the symbol).
void turn_to_carriers(std::span<const Complex> raw, double delay, std::span<Complex> turned) {
    constexpr std::size_t lanes = 8;
    const double step = 2.0 * std::numbers::pi * delay / dvb_t_n_fft;
    float z_re[lanes], z_im[lanes];
    for (std::size_t l = 0; l < lanes; ++l) {
        const double angle = (static_cast<double>(l) - static_cast<double>(waveform::dvb_t_centre_carrier)) * step;
        z_re[l] = static_cast<float>(std::cos(angle));
        z_im[l] = static_cast<float>(std::sin(angle));
    }
    const auto w_re = static_cast<float>(std::cos(lanes * step)), w_im = static_cast<float>(std::sin(lanes * step));
    constexpr std::size_t carriers = waveform::dvb_t_active_carriers;
    for (std::size_t k = 0; k < carriers; k += lanes) {
        for (std::size_t l = 0; l < lanes && k + l < carriers; ++l) {
            const Complex x = raw[waveform::dvb_t_carrier_bin(k + l)];
            turned[k + l] = Complex{x.re * z_re[l] - x.im * z_im[l], x.re * z_im[l] + x.im * z_re[l]};
        }
        for (std::size_t l = 0; l < lanes; ++l) {
            const float re = z_re[l] * w_re - z_im[l] * w_im;
            z_im[l] = z_re[l] * w_im + z_im[l] * w_re;
            z_re[l] = re;
        }
    }
}

// The data cells of one symbol equalised as the equaliser would (0 where the estimate is below
// its floor), and their weights: each carrier's estimated |H|² over the mean of them all, so that
// a cell equalised by a weak estimate, mostly noise, does not vote as loudly as the others. A
// carrier the equaliser zeroes (estimate below its floor, or not finite) weighs 0.
void equalize_cells(std::span<const Complex> turned, std::span<const Complex> channel,
                    std::span<const std::size_t> data, std::span<Complex> cells, std::span<float> weights) {
    double total = 0.0;
    for (std::size_t c = 0; c < data.size(); ++c) {
        const Complex h = channel[data[c]];
        cells[c] = turned[data[c]] * OfdmEqualizer::inverse_or_zero(h);
        const float power = norm(h);
        const bool usable = power >= OfdmEqualizer::min_channel_power && power <= std::numeric_limits<float>::max();
        weights[c] = usable ? power : 0.0f;
        total += weights[c];
    }
    const double mean = total / static_cast<double>(data.size());
    const float scale = mean > 0.0 && std::isfinite(mean) ? static_cast<float>(1.0 / mean) : 0.0f;
    for (std::size_t c = 0; c < data.size(); ++c) weights[c] = weights[c] * scale;
}

OfdmEqualizer pilot_equalizer(const waveform::DvbTFrameParams& params) {
    auto config = OfdmConfig::from_plan(waveform::dvb_t_2k_plans(params.guard)[0], waveform::dvb_t_sample_rate_hz,
                                        0.0f, 1.0f, params.constellation);
    if (!config) internal_fault("DVB-T phase-0 plan refused");
    return OfdmEqualizer(*config, EqualizerMode::PilotInterp);
}

}  // namespace

void DvbTEvmSums::add(Complex cell, std::span<const float> llrs) {
    const std::size_t b = llrs.size();
    unsigned i_index = 0, q_index = 0;
    for (std::size_t k = 0; k < b; k += 2) {
        i_index = (i_index << 1) | (llrs[k] <= 0.0f ? 1u : 0u);
        q_index = (q_index << 1) | (llrs[k + 1] <= 0.0f ? 1u : 0u);
    }
    const Complex ref{waveform::dvb_t_axis_level(b, i_index), waveform::dvb_t_axis_level(b, q_index)};
    const double er = static_cast<double>(cell.re) - ref.re, ei = static_cast<double>(cell.im) - ref.im;
    reference += static_cast<double>(ref.re) * ref.re + static_cast<double>(ref.im) * ref.im;
    error += er * er + ei * ei;
}

DvbTSymbolStage::DvbTSymbolStage(const waveform::DvbTFrameParams& params)
    : equalizer_(pilot_equalizer(params)),
      fft_(dvb_t_n_fft, params.cp_len()),
      symbol_(params.samples_per_symbol()),
      turned_(dvb_t_n_fft),
      cells_(dvb_t_data_carriers),
      weights_(dvb_t_data_carriers),
      bits_per_cell_(params.bits_per_cell()) {
    const waveform::ScatteredGridCycle cycle(params.guard);
    for (std::size_t p = 0; p < waveform::dvb_t_phases; ++p) layouts_[p] = carrier_layout(cycle, p);
}

bool DvbTSymbolStage::run(std::span<const Complex> frame, std::size_t n_symbols, std::size_t backoff,
                          double offset_bins, std::span<float> llrs, waveform::TpsDecoder& tps, DvbTEvmSums* evm) {
    const std::size_t b = bits_per_cell_, period = symbol_.size();
    fft_.set_backoff(backoff);
    for (std::size_t l = 0; l < n_symbols; ++l) {
        if (frame.size() / period <= l) return false;
        remove_carrier_offset(frame.subspan(l * period, period), offset_bins, l * period, symbol_);
        const auto bins = fft_.process_symbol(symbol_);
        if (!bins || bins->size() < dvb_t_n_fft) return false;
        tps.push_symbol(*bins);
        const std::size_t p = l % waveform::dvb_t_phases;
        const DvbTCarrierLayout& layout = layouts_[p];
        turn_to_carriers(*bins, delay_centre(*bins, layout.pairs, backoff), turned_);
        equalizer_.select_pilot_layout(p, layout.pilots, layout.data);
        equalizer_.estimate(turned_);
        equalize_cells(turned_, equalizer_.channel_estimate(), layout.data, cells_, weights_);
        const std::span<float> symbol_llrs = llrs.subspan(l * dvb_t_data_carriers * b, dvb_t_data_carriers * b);
        if (evm != nullptr) {
            if (!waveform::dvb_t_soft_llr_cells(cells_, b, symbol_llrs)) internal_fault("DVB-T order");
            for (std::size_t c = 0; c < dvb_t_data_carriers; ++c) evm->add(cells_[c], symbol_llrs.subspan(c * b, b));
        }
        if (!waveform::dvb_t_soft_llr_weighted_cells(cells_, weights_, b, symbol_llrs)) internal_fault("DVB-T order");
    }
    return true;
}

}  // namespace kavro
