#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec/psk31.hpp"
#include "codec/varicode.hpp"
#include "core/complex.hpp"
#include "demodulate/psk31.hpp"

// A live PSK31 text receiver: demodulator, for QPSK31 the streaming Viterbi decoder, and the
// Varicode decoder, fed in chunks. Each call returns the printable characters (32..126) that
// became complete during it; every sample given is demodulated, at any sample rate.

namespace kavro {

struct Psk31StreamError {
    enum class Kind : std::uint8_t { Mode, SampleRate } kind;
    std::string mode;        // the word as the caller passed it
    waveform::Psk31RateError rate{};  // the refused sample rate
};

std::string error_message(const Psk31StreamError& error);

class Psk31Stream {
public:
    // `lowered` selects the mode ("bpsk", "bpsk31", "qpsk", "qpsk31"); `as_passed` is quoted in
    // the refusal. The sample rate is checked after the mode.
    static std::expected<Psk31Stream, Psk31StreamError> create(std::string_view lowered, std::string_view as_passed,
                                                               float fs, float carrier_hz, float gain);

    std::string feed(std::span<const Complex> iq);
    // Pushes the last symbols out of the Viterbi decoder's delay (QPSK31) and ends the character
    // in progress. Resets nothing.
    std::string flush();

private:
    Psk31Stream(std::size_t sps, std::variant<Bpsk31Demod, Qpsk31Demod> demod) : sps_(sps), demod_(std::move(demod)) {}
    void push_bit(std::uint8_t bit) { varicode_.push_bit(bit); }
    std::string take_printable();

    std::size_t sps_;
    std::variant<Bpsk31Demod, Qpsk31Demod> demod_;
    codec::StreamingViterbi viterbi_;  // used by QPSK31 only
    codec::VaricodeDecoder varicode_;
    std::vector<float> soft_;  // scratch of one call
};

}  // namespace kavro
