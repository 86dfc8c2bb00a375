#pragma once

// Helpers shared by the unit tests and the benchmarks: seeded random bits and bytes, complex
// Gaussian noise and its level for an SNR, BPSK soft values, and the chunk plans and chunked
// feeding of a stream. Family helpers sit beside this file: analog_support.hpp (tones, chunk
// invariance of the analog modems), frame_link_support.hpp (the frame link's reference setup),
// ofdm_sync_reference.hpp (the literal preamble search) and ft8_support.hpp (FT8/FT4 payloads and
// noise).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "core/complex.hpp"

namespace kavro::test {

// `count` values of 0 or 1 drawn from `rng`, for tests that draw words and noise from one stream.
inline std::vector<std::uint8_t> random_bits(std::mt19937_64& rng, std::size_t count) {
    std::vector<std::uint8_t> bits(count);
    for (auto& bit : bits) bit = static_cast<std::uint8_t>(rng() & 1u);
    return bits;
}

// `count` values of 0 or 1, the same for the same seed.
inline std::vector<std::uint8_t> random_bits(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    return random_bits(rng, count);
}

// `count` bytes, the same for the same seed.
inline std::vector<std::uint8_t> random_bytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng() & 0xFFu);
    return bytes;
}

// Complex Gaussian noise with E|n|^2 = variance (half of it on each rail).
inline std::vector<Complex> complex_noise(std::size_t count, double variance, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, std::sqrt(variance / 2.0));
    std::vector<Complex> noise(count);
    for (auto& n : noise) {
        const double re = normal(rng);
        n = Complex{static_cast<float>(re), static_cast<float>(normal(rng))};
    }
    return noise;
}

// Adds complex Gaussian noise of the given variance to `samples` in place.
inline void add_noise(std::vector<Complex>& samples, double variance, std::uint64_t seed) {
    const auto noise = complex_noise(samples.size(), variance, seed);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = Complex{samples[i].re + noise[i].re, samples[i].im + noise[i].im};
    }
}

// Chunk plans a stream is split into: whole, single samples, 997-sample pieces and seeded random
// sizes that include empty calls.
inline std::vector<std::vector<std::size_t>> chunk_plans(std::size_t total) {
    std::vector<std::vector<std::size_t>> plans{{total}, std::vector<std::size_t>(total, 1)};
    std::vector<std::size_t> fixed;
    for (std::size_t left = total; left > 0; left -= std::min<std::size_t>(left, 997)) fixed.push_back(std::min<std::size_t>(left, 997));
    plans.push_back(fixed);
    std::mt19937 rng(12345);
    std::vector<std::size_t> random{0};
    for (std::size_t left = total; left > 0;) {
        const std::size_t size = rng() % 4 == 0 ? 0 : std::min<std::size_t>(left, rng() % 2500);
        random.push_back(size);
        left -= size;
    }
    random.push_back(0);
    plans.push_back(random);
    return plans;
}

// Calls feed(piece) on consecutive pieces of `input` until it is used up: `sizes` gives their
// lengths in turn, starting over when it runs out, and the last piece may be shorter. At least one
// size must be non-zero.
template <class T, class Feed>
void feed_in_chunks(std::span<T> input, std::span<const std::size_t> sizes, Feed&& feed) {
    std::size_t at = 0;
    for (std::size_t i = 0; at < input.size(); ++i) {
        const std::size_t n = std::min(sizes[i % sizes.size()], input.size() - at);
        feed(input.subspan(at, n));
        at += n;
    }
}

// Pieces of `chunk` samples each, the last one shorter.
template <class T, class Feed>
void feed_in_chunks(std::span<T> input, std::size_t chunk, Feed&& feed) {
    feed_in_chunks(input, std::span<const std::size_t>(&chunk, 1), feed);
}

// Mean |x|^2 of `samples` (0 for none).
inline double mean_power(std::span<const Complex> samples) {
    double power = 0.0;
    for (const Complex& s : samples) power += static_cast<double>(s.re) * s.re + static_cast<double>(s.im) * s.im;
    return samples.empty() ? 0.0 : power / static_cast<double>(samples.size());
}

// Noise variance that sits `snr_db` below a signal of mean power `signal_power`.
inline double noise_variance_at_snr(double signal_power, double snr_db) { return signal_power / std::pow(10.0, snr_db / 10.0); }

// Noise variance per sample for a per-carrier Es/N0 of `es_n0_db` on an `n_fft`-point OFDM symbol
// whose cells have unit energy (the unitary inverse FFT spreads each over n_fft samples).
inline double per_carrier_noise_variance(double es_n0_db, std::size_t n_fft) {
    return noise_variance_at_snr(1.0 / static_cast<double>(n_fft), es_n0_db);
}

// Complex Gaussian noise of the given variance added in place: Box-Muller on a splitmix64 stream,
// quicker than add_noise for the tens of millions of samples an error rate needs.
inline void add_fast_noise(std::vector<Complex>& iq, double variance, std::uint64_t seed) {
    std::uint64_t state = seed;
    const auto uniform = [&state] {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        // Two 24-bit uniforms in (0, 1) from one draw.
        return std::pair{(static_cast<float>(z >> 40) + 0.5f) * 0x1.0p-24f, static_cast<float>((z >> 16) & 0xFFFFFF) * 0x1.0p-24f};
    };
    const float sigma = static_cast<float>(std::sqrt(variance / 2.0));
    for (Complex& x : iq) {
        const auto [u, v] = uniform();
        const float r = sigma * std::sqrt(-2.0f * std::log(u));
        float sn = 0.0f, cs = 0.0f;
        ::sincosf(6.2831855f * v, &sn, &cs);
        x.re += r * cs;
        x.im += r * sn;
    }
}

// Soft values of `bits` sent as BPSK (0 as +1, 1 as -1) through real Gaussian noise of variance
// sigma2: 2y/sigma2, positive for bit 0.
inline std::vector<float> bpsk_llrs(std::mt19937_64& rng, std::span<const std::uint8_t> bits, double sigma2) {
    std::normal_distribution<double> normal(0.0, std::sqrt(sigma2));
    std::vector<float> llrs(bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) llrs[i] = static_cast<float>(2.0 * ((bits[i] ? -1.0 : 1.0) + normal(rng)) / sigma2);
    return llrs;
}

inline std::vector<float> bpsk_llrs(std::span<const std::uint8_t> bits, double sigma2, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    return bpsk_llrs(rng, bits, sigma2);
}

// The noise variance of BPSK at Eb/N0 (dB) for a code of the given rate: 1 / (2 R Eb/N0).
inline double bpsk_noise_variance(double rate, double ebn0_db) {
    return 1.0 / (2.0 * rate * std::pow(10.0, ebn0_db / 10.0));
}

}  // namespace kavro::test
