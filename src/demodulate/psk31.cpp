#include "demodulate/psk31.hpp"

#include "codec/psk31.hpp"

namespace kavro {

std::expected<Bpsk31Demod, Psk31RateError> Bpsk31Demod::create(float fs, float rf_hz, float gain) {
    const auto sps = psk31_receiver_sps(fs, Psk31Mode::Bpsk31, Psk31Role::Receiver);
    if (!sps) return std::unexpected(sps.error());
    return Bpsk31Demod(Psk31DemodState(*sps, fs, rf_hz, gain));
}

std::size_t Bpsk31Demod::process_at(std::span<const Complex> input, std::span<float> output, SimdLevel level) {
    return psk31_receive<Psk31Mode::Bpsk31>(state_, input, output, level);
}

std::vector<float> Bpsk31Demod::process_all(std::span<const Complex> iq) {
    std::vector<float> out(state_.symbols_in(iq.size()));
    process(iq, out);
    return out;
}

std::expected<Qpsk31Demod, Psk31RateError> Qpsk31Demod::create(float fs, float rf_hz, float gain) {
    const auto sps = psk31_receiver_sps(fs, Psk31Mode::Qpsk31, Psk31Role::Receiver);
    if (!sps) return std::unexpected(sps.error());
    return Qpsk31Demod(Psk31DemodState(*sps, fs, rf_hz, gain));
}

std::size_t Qpsk31Demod::process_at(std::span<const Complex> input, std::span<float> output, SimdLevel level) {
    return psk31_receive<Psk31Mode::Qpsk31>(state_, input, output, level);
}

std::vector<float> Qpsk31Demod::process_buffered(std::span<const Complex> iq) {
    std::vector<float> out(2 * state_.symbols_in(iq.size()));
    process(iq, out);
    soft_buffer_.insert(soft_buffer_.end(), out.begin(), out.end());
    return out;
}

std::vector<std::uint8_t> Qpsk31Demod::flush() {
    std::vector<std::uint8_t> bits = codec::viterbi_decode(soft_buffer_);
    std::vector<float>().swap(soft_buffer_);
    return bits;
}

void Qpsk31Demod::reset() {
    state_.reset();
    std::vector<float>().swap(soft_buffer_);
}

std::vector<std::uint8_t> Bpsk31Decider::process(std::span<const float> soft) {
    std::vector<std::uint8_t> bits(soft.size());
    for (std::size_t i = 0; i < soft.size(); ++i) bits[i] = soft[i] >= 0.0f ? 1 : 0;
    return bits;
}

}  // namespace kavro
