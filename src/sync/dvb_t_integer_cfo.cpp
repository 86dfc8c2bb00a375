#include "sync/dvb_t_integer_cfo.hpp"

#include <cmath>
#include <limits>
#include <numbers>
#include <type_traits>
#include <vector>

#include "core/lane_halves.hpp"
#include "core/lanes.hpp"
#include "multicarrier/fft_block.hpp"
#include "waveform/dvb_t.hpp"

namespace kavro {

namespace {

constexpr std::size_t n_fft = waveform::dvb_t_n_fft;
constexpr std::size_t max_symbols = 8;

Complex unit_phasor(double angle) { return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))}; }

// The offset removal turns four samples at a time, each sample's (re, im) lane pair multiplied by
// its phasor held as (c, c) and (-s, s): one AVX vector in the AVX2 build, two SSE halves in the
// portable one, every lane's arithmetic the same in both.
constexpr std::size_t phasors = 4, phasor_lanes = 2 * phasors;
constexpr std::size_t renormalise_every = 1024;
using Wide = Lanes<phasor_lanes>;
using Half = Lanes<phasors>;
using Halves = LaneHalves<Half::Floats>;
template <SimdLevel Level>
using PhasorLanes = std::conditional_t<Level == SimdLevel::Avx2, Wide::Floats, Halves>;

template <class V>
[[gnu::always_inline]] inline V load(const float* p) {
    if constexpr (std::is_same_v<V, Halves>) return {Half::load(p), Half::load(p + phasors)};
    else return Wide::load(p);
}

[[gnu::always_inline]] inline void store(float* p, Wide::Floats v) { Wide::store(p, v); }
[[gnu::always_inline]] inline void store(float* p, Halves v) {
    Half::store(p, v.lo);
    Half::store(p + phasors, v.hi);
}

// (im, re) for every (re, im) pair.
[[gnu::always_inline]] inline Wide::Floats swap_parts(Wide::Floats v) {
    return __builtin_shuffle(v, Wide::Ints{1, 0, 3, 2, 5, 4, 7, 6});
}
[[gnu::always_inline]] inline Halves swap_parts(Halves v) {
    return {__builtin_shuffle(v.lo, Half::Ints{1, 0, 3, 2}), __builtin_shuffle(v.hi, Half::Ints{1, 0, 3, 2})};
}

// Each phasor back to unit length, lane by lane (c² + s² is the same in both lanes of a pair).
template <class V>
[[gnu::always_inline]] inline void renormalise(V& zc, V& zs) {
    float c[phasor_lanes], s[phasor_lanes];
    store(c, zc);
    store(s, zs);
    for (std::size_t l = 0; l < phasor_lanes; ++l) {
        const float k = 1.0f / std::sqrt(c[l] * c[l] + s[l] * s[l]);
        c[l] = c[l] * k;
        s[l] = s[l] * k;
    }
    zc = load<V>(c);
    zs = load<V>(s);
}

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

void remove_carrier_offset(std::span<const Complex> iq, double bins, std::size_t first, std::span<Complex> out,
                           SimdLevel level) {
    // Four phasors a sample apart, each advanced four samples at a time, so that no sample waits
    // for the turn of the one before. Each starts at the exact phase of its sample (reduced in
    // turns before it is scaled to radians, so that a late start keeps its precision).
    const double turns_per_sample = -bins / static_cast<double>(n_fft);
    float c[phasor_lanes], s[phasor_lanes], q[phasor_lanes];
    for (std::size_t l = 0; l < phasors; ++l) {
        const double turns = std::remainder(turns_per_sample * static_cast<double>(first + l), 1.0);
        const Complex z = unit_phasor(2.0 * std::numbers::pi * turns);
        c[2 * l] = c[2 * l + 1] = z.re;
        s[2 * l] = -z.im;
        s[2 * l + 1] = z.im;
    }
    const Complex w = unit_phasor(2.0 * std::numbers::pi * std::remainder(turns_per_sample * phasors, 1.0));
    for (std::size_t l = 0; l < phasor_lanes; ++l) q[l] = l % 2 == 0 ? -w.im : w.im;

    const std::size_t whole = iq.size() - iq.size() % phasors;
    const auto* x = reinterpret_cast<const float*>(iq.data());
    auto* y = reinterpret_cast<float*>(out.data());
    with_simd_level(level, [&] [[gnu::always_inline]] (auto at) {
        using V = PhasorLanes<decltype(at)::value>;
        V zc = load<V>(c), zs = load<V>(s);
        const V wq = load<V>(q);
        for (std::size_t n = 0; n < whole; n += phasors) {
            const V v = load<V>(x + 2 * n);
            store(y + 2 * n, v * zc + swap_parts(v) * zs);
            const V turned = zc * w.re - zs * wq;
            zs = zs * w.re + zc * wq;
            zc = turned;
            if ((n + phasors) % renormalise_every == 0) renormalise(zc, zs);
        }
        store(c, zc);
        store(s, zs);
    });
    for (std::size_t n = whole; n < iq.size(); ++n) {
        const std::size_t l = n - whole;
        out[n] = iq[n] * Complex{c[2 * l], s[2 * l + 1]};
    }
}

}  // namespace kavro
