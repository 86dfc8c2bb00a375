#include "modulate/psk31.hpp"

#include <limits>
#include <stdexcept>

#include "codec/psk31.hpp"
#include "codec/varicode.hpp"

namespace kavro {

namespace {

std::vector<std::uint8_t> varicode_bits(std::span<const std::uint8_t> text, std::size_t preamble, std::size_t postamble) {
    codec::VaricodeEncoder encoder;
    encoder.reserve_more(codec::VaricodeEncoder::text_bit_count(preamble, text, postamble));
    encoder.push_preamble(preamble);
    for (const std::uint8_t b : text) encoder.push_byte(b);
    encoder.push_postamble(postamble);
    return encoder.drain_bits();
}

}  // namespace

Psk31ModCore::Psk31ModCore(std::size_t samples_per_symbol, float fs, float rf_hz, float gain_)
    : shape(waveform::make_hann(samples_per_symbol)), sps(samples_per_symbol), gain(gain_), mix_on(rf_hz != 0.0f) {
    if (mix_on) nco = PhasorNco(rf_hz, fs);
}

std::size_t Psk31ModCore::samples_for(std::size_t symbols) const {
    if (sps != 0 && symbols > std::numeric_limits<std::size_t>::max() / sps)
        throw std::length_error("PSK31 sample count overflows");
    return sps * symbols;
}

void Psk31ModCore::reset_carrier() {
    nco.phasor = {1.0f, 0.0f};
    nco.counter = 0;
}

void Psk31ModCore::upmix(std::span<Complex> samples, SimdLevel level) {
    with_simd_level(level, [&] [[gnu::always_inline]] {
        PhasorNco running = nco;
        for (Complex& x : samples) {
            running.rotate_fused();
            if (running.count()) running.renormalise();
            x = x * running.phasor;
        }
        nco = running;
    });
}

template <waveform::Psk31Mode M>
std::expected<Psk31Mod<M>, waveform::Psk31RateError> Psk31Mod<M>::create(float fs, float rf_hz, float gain) {
    const auto sps = waveform::psk31_transmitter_sps(fs, M);
    if (!sps) return std::unexpected(sps.error());
    return Psk31Mod(Psk31ModCore(*sps, fs, rf_hz, gain));
}

template <waveform::Psk31Mode M>
std::vector<Complex> Psk31Mod<M>::modulate_bits(std::span<const std::uint8_t> bits) {
    std::vector<Complex> out(core_.samples_for(bits.size()));
    const float gain = core_.gain;
    const float* shape = core_.shape.data();
    Complex* y = out.data();
    if constexpr (M == waveform::Psk31Mode::Bpsk31) {
        const float im = gain * 0.0f;
        for (const std::uint8_t bit : bits) {
            const float old = last_.level;
            if (bit == 0) last_.level = -last_.level;
            const float change = last_.level - old;
            for (std::size_t i = 0; i < core_.sps; ++i) *y++ = {gain * (old + change * shape[i]), im};
        }
    } else {
        for (const std::uint8_t bit : bits) {
            const codec::Qpsk31Step step = codec::qpsk31_encode_step(last_.encoder, bit);
            last_.encoder = step.next_state;
            const Complex old = last_.phasor;
            last_.phasor = codec::qpsk31_phase_steps[step.rotation] * old;
            const Complex change = last_.phasor - old;
            for (std::size_t i = 0; i < core_.sps; ++i) *y++ = (old + change * shape[i]) * gain;
        }
    }
    if (core_.mix_on) core_.upmix(out);
    return out;
}

template <waveform::Psk31Mode M>
std::vector<Complex> Psk31Mod<M>::modulate_text(std::span<const std::uint8_t> text, std::size_t preamble_bits,
                                                std::size_t postamble_bits) {
    core_.samples_for(codec::VaricodeEncoder::text_bit_count(preamble_bits, text, postamble_bits));
    return modulate_bits(varicode_bits(text, preamble_bits, postamble_bits));
}

template <waveform::Psk31Mode M>
void Psk31Mod<M>::reset() {
    last_ = {};
    core_.reset_carrier();
}

template class Psk31Mod<waveform::Psk31Mode::Bpsk31>;
template class Psk31Mod<waveform::Psk31Mode::Qpsk31>;

}  // namespace kavro
