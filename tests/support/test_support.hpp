#pragma once

// Helpers shared by the unit tests and the benchmarks: seeded random bits and bytes, complex
// Gaussian noise and the chunk plans a stream is split into.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "core/complex.hpp"

namespace kavro::test {

// `count` values of 0 or 1, the same for the same seed.
inline std::vector<std::uint8_t> random_bits(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> bits(count);
    for (auto& bit : bits) bit = static_cast<std::uint8_t>(rng() & 1u);
    return bits;
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

}  // namespace kavro::test
