#include "dsp/fir_design.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kavro::dsp {

float kaiser_beta(float stopband_db) {
    const float a = stopband_db;
    if (a > 50.0f) return 0.1102f * (a - 8.7f);
    if (a >= 21.0f) return 0.5842f * std::pow(a - 21.0f, 0.4f) + 0.07886f * (a - 21.0f);
    return 0.0f;
}

float bessel_i0(float x) {
    float sum = 1.0f;
    float term = 1.0f;
    const float half_x = x / 2.0f;
    for (int k = 1; k <= 40; ++k) {
        term = term * half_x / static_cast<float>(k);
        const float t2 = term * term;
        sum = sum + t2;
        if (t2 < 1e-12f * sum) break;
    }
    return sum;
}

std::vector<float> kaiser_lowpass(std::size_t num_taps, float cutoff, float stopband_db) {
    constexpr float pi = 3.1415927f;
    constexpr float two_pi = 6.2831855f;
    const std::size_t n = lowpass_tap_count(num_taps);
    const std::size_t m = lowpass_group_delay(num_taps);
    const float fc = std::clamp(cutoff, 0.0001f, 0.4999f);
    const float beta = kaiser_beta(stopband_db);
    const float i0_beta = bessel_i0(beta);
    const auto m_f = static_cast<float>(m);

    std::vector<float> taps(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto t = static_cast<float>(static_cast<std::int64_t>(i) - static_cast<std::int64_t>(m));
        const float ideal = t == 0.0f ? 2.0f * fc : std::sin(two_pi * fc * t) / (pi * t);
        const float r = t / m_f;
        const float window = bessel_i0(beta * std::sqrt(std::max(1.0f - r * r, 0.0f))) / i0_beta;
        taps[i] = ideal * window;
    }

    float sum = 0.0f;
    for (const float h : taps) sum += h;
    if (std::fabs(sum) > 1.1920929e-7f) {
        for (float& h : taps) h = h / sum;
    }
    return taps;
}

}  // namespace kavro::dsp
