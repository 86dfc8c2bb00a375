#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <type_traits>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"
#include "core/simd_level.hpp"
#include "waveform/psk31_timing.hpp"

// PSK31 transmitters at 31.25 symbols per second. Each symbol moves from the previous value to
// the new one along the rising half-cosine shape, is scaled by gain and carried up to rf_hz.
// The up-mix oscillator runs on from call to call, so a stream may be modulated in pieces.
// Sample rates giving more than psk31_max_samples_per_symbol samples per symbol are refused;
// a rate giving none yields empty outputs. Outputs too large to count or hold throw
// std::length_error or std::bad_alloc before any state changes.

namespace kavro {

// Zeros before and ones after a text when the caller names no other count.
inline constexpr std::size_t psk31_default_preamble_bits = 32;
inline constexpr std::size_t psk31_default_postamble_bits = 32;

// The state and up-mix both modulators share.
struct Psk31ModCore {
    std::vector<float> shape;
    std::size_t sps = 0;
    float gain = 1.0f;
    bool mix_on = false;
    PhasorNco nco;

    Psk31ModCore(std::size_t samples_per_symbol, float fs, float rf_hz, float gain);
    // sps × symbols, or std::length_error when it does not fit a size.
    std::size_t samples_for(std::size_t symbols) const;
    void reset_carrier();
    // Carries baseband samples up to rf_hz in place with the running oscillator; `level` picks the
    // build of the loop, every level giving the same bits.
    void upmix(std::span<Complex> samples, SimdLevel level = best_simd_level());
};

// The transmitter of one mode. BPSK31: bit 0 reverses the phase, any other byte keeps it.
// QPSK31: each bit (bit 0 of each byte) goes through the QPSK31 encoder, and the carrier phasor
// turns by the step's rotation.
template <waveform::Psk31Mode M>
class Psk31Mod {
public:
    static std::expected<Psk31Mod, waveform::Psk31RateError> create(float fs, float rf_hz, float gain);

    std::vector<Complex> modulate_bits(std::span<const std::uint8_t> bits);
    // Preamble zeros, the text's Varicode and the postamble ones.
    std::vector<Complex> modulate_text(std::span<const std::uint8_t> text, std::size_t preamble_bits,
                                       std::size_t postamble_bits);
    void reset();
    void set_gain(float gain) { core_.gain = gain; }

private:
    // Where the last symbol left the carrier: its level, or its phasor and the encoder's state.
    struct Bpsk31Symbol {
        float level = 1.0f;
    };
    struct Qpsk31Symbol {
        Complex phasor{1.0f, 0.0f};
        std::uint8_t encoder = 0;
    };

    explicit Psk31Mod(Psk31ModCore core) : core_(std::move(core)) {}
    Psk31ModCore core_;
    std::conditional_t<M == waveform::Psk31Mode::Bpsk31, Bpsk31Symbol, Qpsk31Symbol> last_{};
};

extern template class Psk31Mod<waveform::Psk31Mode::Bpsk31>;
extern template class Psk31Mod<waveform::Psk31Mode::Qpsk31>;
using Bpsk31Mod = Psk31Mod<waveform::Psk31Mode::Bpsk31>;
using Qpsk31Mod = Psk31Mod<waveform::Psk31Mode::Qpsk31>;

}  // namespace kavro
