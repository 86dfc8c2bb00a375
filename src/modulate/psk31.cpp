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
    : shape(make_hann(samples_per_symbol)), sps(samples_per_symbol), gain(gain_), mix_on(rf_hz != 0.0f) {
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

std::expected<Bpsk31Mod, Psk31RateError> Bpsk31Mod::create(float fs, float rf_hz, float gain) {
    const auto sps = psk31_transmitter_sps(fs, Psk31Mode::Bpsk31);
    if (!sps) return std::unexpected(sps.error());
    return Bpsk31Mod(Psk31ModCore(*sps, fs, rf_hz, gain));
}

std::vector<Complex> Bpsk31Mod::modulate_bits(std::span<const std::uint8_t> bits) {
    std::vector<Complex> out(core_.samples_for(bits.size()));
    const float gain = core_.gain;
    const float* shape = core_.shape.data();
    const float im = gain * 0.0f;
    Complex* y = out.data();
    for (const std::uint8_t bit : bits) {
        const float old = level_;
        if (bit == 0) level_ = -level_;
        const float change = level_ - old;
        for (std::size_t i = 0; i < core_.sps; ++i) *y++ = {gain * (old + change * shape[i]), im};
    }
    if (core_.mix_on) core_.upmix(out);
    return out;
}

std::vector<Complex> Bpsk31Mod::modulate_text(std::span<const std::uint8_t> text, std::size_t preamble_bits,
                                              std::size_t postamble_bits) {
    core_.samples_for(codec::VaricodeEncoder::text_bit_count(preamble_bits, text, postamble_bits));
    return modulate_bits(varicode_bits(text, preamble_bits, postamble_bits));
}

void Bpsk31Mod::reset() {
    level_ = 1.0f;
    core_.reset_carrier();
}

std::expected<Qpsk31Mod, Psk31RateError> Qpsk31Mod::create(float fs, float rf_hz, float gain) {
    const auto sps = psk31_transmitter_sps(fs, Psk31Mode::Qpsk31);
    if (!sps) return std::unexpected(sps.error());
    return Qpsk31Mod(Psk31ModCore(*sps, fs, rf_hz, gain));
}

std::vector<Complex> Qpsk31Mod::modulate_bits(std::span<const std::uint8_t> bits) {
    std::vector<Complex> out(core_.samples_for(bits.size()));
    const float gain = core_.gain;
    const float* shape = core_.shape.data();
    Complex* y = out.data();
    for (const std::uint8_t bit : bits) {
        const codec::Qpsk31Step step = codec::qpsk31_encode_step(enc_state_, bit);
        enc_state_ = step.next_state;
        const Complex old = phasor_;
        phasor_ = codec::QPSK31_PHASE_STEPS[step.rotation] * old;
        const Complex change = phasor_ - old;
        for (std::size_t i = 0; i < core_.sps; ++i) *y++ = (old + change * shape[i]) * gain;
    }
    if (core_.mix_on) core_.upmix(out);
    return out;
}

std::vector<Complex> Qpsk31Mod::modulate_text(std::span<const std::uint8_t> text, std::size_t preamble_bits,
                                              std::size_t postamble_bits) {
    core_.samples_for(codec::VaricodeEncoder::text_bit_count(preamble_bits, text, postamble_bits));
    return modulate_bits(varicode_bits(text, preamble_bits, postamble_bits));
}

void Qpsk31Mod::reset() {
    phasor_ = {1.0f, 0.0f};
    enc_state_ = 0;
    core_.reset_carrier();
}

}  // namespace kavro
