#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

// PSK31 symbol timing and shape, shared by the transmitters, the receivers and the carrier
// search: 31.25 symbols per second at any sample rate, each symbol's transition along the rising
// half-cosine, and the sample rates each of them refuses.

namespace kavro::waveform {

enum class Psk31Mode : std::uint8_t { Bpsk31, Qpsk31 };

inline constexpr std::uint64_t psk31_max_samples_per_symbol = 1048576;

// f32(fs) / 31.25 rounded half away from zero; 0 for a negative or NaN quotient, the largest
// count for one too large.
std::uint64_t psk31_samples_per_symbol(float fs);

// n values rising from 0 to 1 along 0.5 - 0.5 cos(i π / (n - 1)); [1] for n = 1.
std::vector<float> make_hann(std::size_t n);

// Who refuses a sample rate, named in the message by its mode and role ("Bpsk31Mod",
// "Qpsk31Demod", "Psk31Stream"). A transmitter takes a rate giving no samples per symbol (its
// outputs are empty); a receiver or a stream needs at least one.
enum class Psk31Role : std::uint8_t { Transmitter, Receiver, Stream };

// A sample rate whose samples per symbol the component cannot take.
struct Psk31RateError {
    Psk31Mode mode = Psk31Mode::Bpsk31;
    Psk31Role role = Psk31Role::Receiver;
    std::uint64_t sps = 0;
};

std::string error_message(const Psk31RateError& error);

// Samples per symbol for a transmitter: 0 to psk31_max_samples_per_symbol, else the error.
std::expected<std::size_t, Psk31RateError> psk31_transmitter_sps(float fs, Psk31Mode mode);

// Samples per symbol for a receiver or a stream: 1 to psk31_max_samples_per_symbol, else the error.
std::expected<std::uint64_t, Psk31RateError> psk31_receiver_sps(float fs, Psk31Mode mode, Psk31Role role);

}  // namespace kavro::waveform
