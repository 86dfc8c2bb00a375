#include "sync/dvb_t_integer_cfo.hpp"

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/phasor_nco.hpp"
#include "multicarrier/fft_block.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro {

namespace {

constexpr std::size_t n_fft = waveform::dvb_t_n_fft;
constexpr std::size_t max_symbols = 8;

Complex unit_phasor(double angle) { return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))}; }

}  // namespace

int dvb_t_integer_cfo_bins(std::span<const Complex> iq, std::size_t timing, std::size_t cp_len,
                           double fractional_bins) {
    const std::size_t period = cp_len + n_fft;
    std::vector<float> power(n_fft, 0.0f);
    std::vector<Complex> window(n_fft), spectrum(n_fft);
    FftBlock fft(n_fft);
    for (std::size_t s = 0; s < max_symbols; ++s) {
        const std::size_t p = timing + s * period;
        if (p > iq.size() || iq.size() - p < period) break;
        remove_carrier_offset(iq.subspan(p + cp_len, n_fft), fractional_bins, 0, window);
        fft.process(window, spectrum);
        for (std::size_t b = 0; b < n_fft; ++b) power[b] = power[b] + norm(spectrum[b]);
    }

    int best = 0;
    float best_metric = -std::numeric_limits<float>::infinity();
    for (int k = -integer_cfo_max_bins; k <= integer_cfo_max_bins; ++k) {
        float metric = 0.0f;
        for (const std::uint16_t carrier : waveform::dvb_t_continual_pilots) {
            const std::size_t shifted = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(n_fft) + k);
            const std::size_t bin = (waveform::dvb_t_carrier_bin(carrier) + shifted) % n_fft;
            metric = metric + power[bin] * power[bin];
        }
        if (metric > best_metric) {
            best_metric = metric;
            best = k;
        }
    }
    return best;
}

void remove_carrier_offset(std::span<const Complex> iq, double bins, std::size_t first, std::span<Complex> out) {
    // The start phase in turns, reduced before it is scaled to radians so that a late start keeps
    // its precision.
    const double turns_per_sample = -bins / static_cast<double>(n_fft);
    const double start_turns = std::remainder(turns_per_sample * static_cast<double>(first), 1.0);
    PhasorNco nco;
    nco.phasor = unit_phasor(2.0 * std::numbers::pi * start_turns);
    nco.step = unit_phasor(2.0 * std::numbers::pi * turns_per_sample);
    for (std::size_t n = 0; n < iq.size(); ++n) {
        out[n] = iq[n] * nco.phasor;
        nco.next();
    }
}

}  // namespace kavro
