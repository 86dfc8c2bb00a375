#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

// PSK31 symbol timing and shape, shared by the transmitters, the receivers and the carrier
// search: 31.25 symbols per second at any sample rate, each symbol's transition along the rising
// half-cosine, and the sample rates each component refuses.

namespace kavro {

enum class Psk31Mode : std::uint8_t { Bpsk31, Qpsk31 };

inline constexpr std::uint64_t kPsk31MaxSamplesPerSymbol = 1048576;

// f32(fs) / 31.25 rounded half away from zero; 0 for a negative or NaN quotient, the largest
// count for one too large.
std::uint64_t psk31_samples_per_symbol(float fs);

// n values rising from 0 to 1 along 0.5 - 0.5 cos(i π / (n - 1)); [1] for n = 1.
std::vector<float> make_hann(std::size_t n);

enum class Psk31Component : std::uint8_t { Bpsk31Mod, Qpsk31Mod, Bpsk31Demod, Qpsk31Demod, Psk31Stream };

// A sample rate whose samples per symbol the component cannot take.
struct Psk31RateError {
    Psk31Component component;
    std::uint64_t sps;
};

std::string error_message(const Psk31RateError& error);

// Samples per symbol for a transmitter: 0 (no output) to kPsk31MaxSamplesPerSymbol, else the
// component's error.
std::expected<std::size_t, Psk31RateError> psk31_transmitter_sps(float fs, Psk31Component component);

// Samples per symbol for a receiver: 1 to kPsk31MaxSamplesPerSymbol, else the component's error.
std::expected<std::uint64_t, Psk31RateError> psk31_receiver_sps(float fs, Psk31Component component);

}  // namespace kavro
