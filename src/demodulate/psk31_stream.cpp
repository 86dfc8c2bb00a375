#include "demodulate/psk31_stream.hpp"

#include "core/internal_fault.hpp"

namespace kavro {

std::string error_message(const Psk31StreamError& error) {
    if (error.kind == Psk31StreamError::Kind::Mode) return "mode must be 'bpsk' or 'qpsk', got '" + error.mode + "'";
    return error_message(error.rate);
}

namespace {

template <class Demod>
Demod build(float fs, float carrier_hz, float gain) {
    auto demod = Demod::create(fs, carrier_hz, gain);
    if (!demod) internal_fault("PSK31 stream demodulator refused a checked sample rate");
    return std::move(*demod);
}

}  // namespace

std::expected<Psk31Stream, Psk31StreamError> Psk31Stream::create(std::string_view lowered, std::string_view as_passed,
                                                                 float fs, float carrier_hz, float gain) {
    waveform::Psk31Mode mode;
    if (lowered == "bpsk" || lowered == "bpsk31") mode = waveform::Psk31Mode::Bpsk31;
    else if (lowered == "qpsk" || lowered == "qpsk31") mode = waveform::Psk31Mode::Qpsk31;
    else return std::unexpected(Psk31StreamError{Psk31StreamError::Kind::Mode, std::string(as_passed)});
    const auto sps = waveform::psk31_receiver_sps(fs, mode, waveform::Psk31Role::Stream);
    if (!sps) return std::unexpected(Psk31StreamError{Psk31StreamError::Kind::SampleRate, {}, sps.error()});
    if (mode == waveform::Psk31Mode::Bpsk31) return Psk31Stream(*sps, build<Bpsk31Demod>(fs, carrier_hz, gain));
    return Psk31Stream(*sps, build<Qpsk31Demod>(fs, carrier_hz, gain));
}

std::string Psk31Stream::take_printable() {
    std::string text;
    for (const std::uint8_t b : varicode_.pop_bytes())
        if (b >= 32 && b <= 126) text.push_back(static_cast<char>(b));
    return text;
}

std::string Psk31Stream::feed(std::span<const Complex> iq) {
    if (iq.empty()) return {};
    // A call completes at most n / sps + 1 symbols, so this buffer never stops the demodulator.
    const std::size_t symbols = iq.size() / sps_ + 2;
    if (auto* bpsk = std::get_if<Bpsk31Demod>(&demod_)) {
        soft_.resize(symbols);
        const std::size_t m = bpsk->process(iq, soft_);
        for (std::size_t i = 0; i < m; ++i) push_bit(soft_[i] >= 0.0f ? 1 : 0);
    } else {
        soft_.resize(2 * symbols);
        const std::size_t m = std::get<Qpsk31Demod>(demod_).process(iq, soft_);
        for (std::size_t i = 0; i + 1 < m; i += 2)
            if (const auto bit = viterbi_.feed_symbol(soft_[i], soft_[i + 1])) push_bit(*bit);
    }
    return take_printable();
}

std::string Psk31Stream::flush() {
    if (std::holds_alternative<Qpsk31Demod>(demod_)) {
        for (std::size_t k = 0; k < codec::StreamingViterbi::depth; ++k)
            if (const auto bit = viterbi_.feed_symbol(0.0f, 0.0f)) push_bit(*bit);
    }
    push_bit(0);
    push_bit(0);
    return take_printable();
}

}  // namespace kavro
