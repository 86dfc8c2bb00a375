#include "waveform/psk31_timing.hpp"

#include <cmath>
#include <limits>

namespace kavro {

std::uint64_t psk31_samples_per_symbol(float fs) {
    const float rounded = std::round(fs / 31.25f);
    if (!(rounded >= 0.0f)) return 0;
    if (rounded >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rounded);
}

std::vector<float> make_hann(std::size_t n) {
    if (n == 0) return {};
    if (n == 1) return {1.0f};
    std::vector<float> w(n);
    const float last = static_cast<float>(n - 1);
    for (std::size_t i = 0; i < n; ++i) w[i] = 0.5f - 0.5f * std::cos(static_cast<float>(i) * 3.1415927f / last);
    return w;
}

std::string error_message(const Psk31RateError& error) {
    switch (error.component) {
        case Psk31Component::Bpsk31Mod:
            return std::string("Bpsk31Mod: fs gives ") + std::to_string(error.sps) + " samples per symbol (max 1048576)";
        case Psk31Component::Qpsk31Mod:
            return std::string("Qpsk31Mod: fs gives ") + std::to_string(error.sps) + " samples per symbol (max 1048576)";
        case Psk31Component::Bpsk31Demod:
            return std::string("Bpsk31Demod: fs gives ") + std::to_string(error.sps) + " samples per symbol (must be 1 to 1048576)";
        case Psk31Component::Qpsk31Demod:
            return std::string("Qpsk31Demod: fs gives ") + std::to_string(error.sps) + " samples per symbol (must be 1 to 1048576)";
        case Psk31Component::Psk31Stream:
            return std::string("Psk31Stream: fs gives ") + std::to_string(error.sps) + " samples per symbol (must be 1 to 1048576)";
    }
    return "PSK31: unsupported sample rate";
}

std::expected<std::size_t, Psk31RateError> psk31_transmitter_sps(float fs, Psk31Component component) {
    const std::uint64_t sps = psk31_samples_per_symbol(fs);
    if (sps > kPsk31MaxSamplesPerSymbol) return std::unexpected(Psk31RateError{component, sps});
    return static_cast<std::size_t>(sps);
}

std::expected<std::uint64_t, Psk31RateError> psk31_receiver_sps(float fs, Psk31Component component) {
    const std::uint64_t sps = psk31_samples_per_symbol(fs);
    if (sps == 0 || sps > kPsk31MaxSamplesPerSymbol) return std::unexpected(Psk31RateError{component, sps});
    return sps;
}

}  // namespace kavro
