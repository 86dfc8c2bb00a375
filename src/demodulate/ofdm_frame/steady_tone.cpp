#include "demodulate/ofdm_frame/steady_tone.hpp"

#include <cmath>

namespace kavro {

namespace {

constexpr std::size_t fewest_samples = 64;
// The lags the frequency is refined over: each resolves the last one's error (below π/lag).
constexpr std::size_t refining_lags[] = {8, 32};
constexpr double tone_share = 0.75;

std::complex<double> sample(const Complex& x) { return {x.re, x.im}; }

// Σ conj(z[n])·z[n + lag].
std::complex<double> lag_sum(std::span<const Complex> z, std::size_t lag) {
    std::complex<double> sum;
    for (std::size_t n = 0; n + lag < z.size(); ++n) sum += std::conj(sample(z[n])) * sample(z[n + lag]);
    return sum;
}

// Σ z[n]·e^(-i·step·(first + n)).
std::complex<double> turned_back_sum(std::span<const Complex> z, double step, std::size_t first) {
    const std::complex<double> back = std::polar(1.0, -step);
    std::complex<double> phasor = std::polar(1.0, -step * static_cast<double>(first)), sum;
    for (const Complex& x : z) {
        sum += sample(x) * phasor;
        phasor *= back;
    }
    return sum;
}

}  // namespace

void SteadyTone::remove(std::uint64_t position, std::span<const Complex> in, std::vector<Complex>& out) const {
    std::complex<double> tone = amplitude * std::polar(1.0, step * static_cast<double>(position - origin));
    const std::complex<double> turn = std::polar(1.0, step);
    for (const Complex& x : in) {
        out.push_back({x.re - static_cast<float>(tone.real()), x.im - static_cast<float>(tone.imag())});
        tone *= turn;
    }
}

std::optional<SteadyTone> measure_steady_tone(std::span<const Complex> before, std::uint64_t origin) {
    if (before.size() < fewest_samples) return std::nullopt;
    double energy = 0.0;
    for (const Complex& x : before) energy += std::norm(sample(x));
    if (!std::isfinite(energy) || !(energy > 0.0)) return std::nullopt;

    // The phase a lag's sum shows, less the turn the frequency so far gives it, corrects it.
    double step = std::arg(lag_sum(before, 1));
    for (const std::size_t lag : refining_lags) {
        if (2 * lag >= before.size()) break;
        const double turn = step * static_cast<double>(lag);
        step += std::arg(lag_sum(before, lag) * std::polar(1.0, -turn)) / static_cast<double>(lag);
    }
    // Then the turn between the two halves' means, each turned back by the frequency so far.
    const std::size_t half = before.size() / 2;
    const std::complex<double> first = turned_back_sum(before.first(half), step, 0);
    const std::complex<double> second = turned_back_sum(before.subspan(half, half), step, half);
    step += std::arg(second * std::conj(first)) / static_cast<double>(half);
    const std::complex<double> mean = turned_back_sum(before, step, 0) / static_cast<double>(before.size());
    if (std::norm(mean) * static_cast<double>(before.size()) < tone_share * energy) return std::nullopt;
    return SteadyTone{step, mean, origin};
}

}  // namespace kavro
