#include "sync/dvb_t_integer_cfo.hpp"

#include <cmath>
#include <limits>

#include "core/phasor_nco.hpp"
#include "multicarrier/fft_block.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro {

namespace {

constexpr std::size_t n_fft = waveform::dvb_t_n_fft;
constexpr std::size_t max_symbols = 8;

}  // namespace

int dvb_t_integer_cfo_bins(std::span<const Complex> iq, std::size_t timing, std::size_t cp_len) {
    const std::size_t period = cp_len + n_fft;
    std::vector<float> power(n_fft, 0.0f);
    std::vector<Complex> spectrum(n_fft);
    FftBlock fft(n_fft);
    for (std::size_t s = 0; s < max_symbols; ++s) {
        const std::size_t p = timing + s * period;
        if (p > iq.size() || iq.size() - p < period) break;
        fft.process(iq.subspan(p + cp_len, n_fft), spectrum);
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

std::vector<Complex> remove_integer_cfo(std::span<const Complex> iq, int bins) {
    constexpr float fs = waveform::dvb_t_sample_rate_hz;
    const float theta = ((static_cast<float>(bins) * -fs) * (1.0f / 2048.0f)) * two_pi_f32 / fs;
    PhasorNco nco;
    ::sincosf(theta, &nco.step.im, &nco.step.re);
    std::vector<Complex> out(iq.size());
    for (std::size_t n = 0; n < iq.size(); ++n) out[n] = iq[n] * nco.next();
    return out;
}

}  // namespace kavro
