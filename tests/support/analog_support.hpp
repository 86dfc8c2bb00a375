#pragma once

// Helpers shared by the analog modem tests: chunked feeding and single-tone generation and
// measurement.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "support/test_support.hpp"

namespace kavro::test {

// Feeds every chunk plan to a fresh copy of `prototype` and requires output identical bit for
// bit to one call over the whole input.
template <class Modem, class Sample>
void expect_chunk_invariant(const std::string& name, const Modem& prototype, const std::vector<Sample>& input) {
    SCOPED_TRACE(name);
    for (const auto& plan : chunk_plans(input.size())) {
        Modem modem = prototype;
        decltype(modem.process(std::span<const Sample>{})) joined;
        std::size_t at = 0;
        for (const std::size_t size : plan) {
            const auto part = modem.process(std::span<const Sample>(input).subspan(at, size));
            ASSERT_EQ(part.size(), size);
            joined.insert(joined.end(), part.begin(), part.end());
            at += size;
        }
        Modem whole_modem = prototype;
        const auto whole = whole_modem.process(input);
        ASSERT_EQ(joined.size(), whole.size());
        EXPECT_EQ(std::memcmp(joined.data(), whole.data(), whole.size() * sizeof(whole[0])), 0)
            << "chunk plan of " << plan.size() << " calls differs";
    }
}

// Amplitude and phase of the component at frequency f (cycles per sample) in x[begin, end),
// by projection onto e^(−j·2π·f·n); the window should hold whole cycles.
inline Complex tone(std::span<const float> x, double f, std::size_t begin, std::size_t end) {
    double re = 0, im = 0;
    for (std::size_t n = begin; n < end; ++n) {
        re += x[n] * std::cos(2 * M_PI * f * n);
        im -= x[n] * std::sin(2 * M_PI * f * n);
    }
    const double k = 2.0 / static_cast<double>(end - begin);
    return {static_cast<float>(re * k), static_cast<float>(im * k)};
}

inline double tone_amplitude(std::span<const float> x, double f, std::size_t begin, std::size_t end) {
    const Complex c = tone(x, f, begin, end);
    return std::hypot(c.re, c.im);
}

// Magnitude of the complex exponential at frequency f (negative for below the centre).
inline double tone_amplitude(std::span<const Complex> x, double f, std::size_t begin, std::size_t end) {
    double re = 0, im = 0;
    for (std::size_t n = begin; n < end; ++n) {
        const double c = std::cos(2 * M_PI * f * n), s = -std::sin(2 * M_PI * f * n);
        re += x[n].re * c - x[n].im * s;
        im += x[n].re * s + x[n].im * c;
    }
    return std::hypot(re, im) / static_cast<double>(end - begin);
}

inline std::vector<float> sine(std::size_t count, double amplitude, double f_per_sample) {
    std::vector<float> x(count);
    for (std::size_t n = 0; n < count; ++n) x[n] = static_cast<float>(amplitude * std::sin(2 * M_PI * f_per_sample * n));
    return x;
}

inline std::vector<Complex> complex_tone(std::size_t count, double amplitude, double f_per_sample) {
    std::vector<Complex> x(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double phase = 2 * M_PI * f_per_sample * n;
        x[n] = {static_cast<float>(amplitude * std::cos(phase)), static_cast<float>(amplitude * std::sin(phase))};
    }
    return x;
}

}  // namespace kavro::test
