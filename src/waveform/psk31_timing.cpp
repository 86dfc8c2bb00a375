#include "waveform/psk31_timing.hpp"

#include <cmath>
#include <limits>

namespace kavro::waveform {

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
    const bool transmitter = error.role == Psk31Role::Transmitter;
    const std::string mode = error.mode == Psk31Mode::Bpsk31 ? "Bpsk31" : "Qpsk31";
    const std::string who = error.role == Psk31Role::Stream ? "Psk31Stream" : mode + (transmitter ? "Mod" : "Demod");
    const std::string max = std::to_string(psk31_max_samples_per_symbol);
    const std::string range = transmitter ? "(max " + max + ")" : "(must be 1 to " + max + ")";
    return who + ": fs gives " + std::to_string(error.sps) + " samples per symbol " + range;
}

std::expected<std::size_t, Psk31RateError> psk31_transmitter_sps(float fs, Psk31Mode mode) {
    const std::uint64_t sps = psk31_samples_per_symbol(fs);
    if (sps > psk31_max_samples_per_symbol) return std::unexpected(Psk31RateError{mode, Psk31Role::Transmitter, sps});
    return static_cast<std::size_t>(sps);
}

std::expected<std::uint64_t, Psk31RateError> psk31_receiver_sps(float fs, Psk31Mode mode, Psk31Role role) {
    const std::uint64_t sps = psk31_samples_per_symbol(fs);
    if (sps == 0 || sps > psk31_max_samples_per_symbol) return std::unexpected(Psk31RateError{mode, role, sps});
    return sps;
}

}  // namespace kavro::waveform
