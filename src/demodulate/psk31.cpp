#include "demodulate/psk31.hpp"

#include "codec/psk31.hpp"

namespace kavro {

template <waveform::Psk31Mode M>
std::expected<Psk31Demod<M>, waveform::Psk31RateError> Psk31Demod<M>::create(float fs, float rf_hz, float gain) {
    const auto sps = waveform::psk31_receiver_sps(fs, M, waveform::Psk31Role::Receiver);
    if (!sps) return std::unexpected(sps.error());
    return Psk31Demod(waveform::Psk31DemodState(*sps, fs, rf_hz, gain));
}

template <waveform::Psk31Mode M>
std::vector<float> Psk31Demod<M>::process_all(std::span<const Complex> iq)
    requires(M == waveform::Psk31Mode::Bpsk31)
{
    std::vector<float> out(state_.symbols_in(iq.size()));
    process(iq, out);
    return out;
}

template <waveform::Psk31Mode M>
std::vector<float> Psk31Demod<M>::process_buffered(std::span<const Complex> iq)
    requires(M == waveform::Psk31Mode::Qpsk31)
{
    std::vector<float> out(2 * state_.symbols_in(iq.size()));
    process(iq, out);
    soft_buffer_.insert(soft_buffer_.end(), out.begin(), out.end());
    return out;
}

template <waveform::Psk31Mode M>
std::vector<std::uint8_t> Psk31Demod<M>::flush()
    requires(M == waveform::Psk31Mode::Qpsk31)
{
    std::vector<std::uint8_t> bits = codec::viterbi_decode(soft_buffer_);
    std::vector<float>().swap(soft_buffer_);
    return bits;
}

template <waveform::Psk31Mode M>
void Psk31Demod<M>::reset() {
    state_.reset();
    std::vector<float>().swap(soft_buffer_);
}

template class Psk31Demod<waveform::Psk31Mode::Bpsk31>;
template class Psk31Demod<waveform::Psk31Mode::Qpsk31>;

std::vector<std::uint8_t> Bpsk31Decider::process(std::span<const float> soft) {
    std::vector<std::uint8_t> bits(soft.size());
    for (std::size_t i = 0; i < soft.size(); ++i) bits[i] = soft[i] >= 0.0f ? 1 : 0;
    return bits;
}

}  // namespace kavro
