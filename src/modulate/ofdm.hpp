#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "core/phasor_nco.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/ifft_block.hpp"
#include "multicarrier/ofdm_config.hpp"

// OFDM transmitter: per OFDM symbol, maps bits to constellation cells, places them on the data
// bins and the pilot values on the pilot bins, inverse-transforms, prepends the cyclic prefix and
// optionally mixes the symbol up to rf_hz before applying the gain.

namespace kavro {

// Samples produced for bit_count bits: ceil(bit_count / bits_per_symbol) symbols of
// samples_per_symbol samples. Throws std::bad_alloc when that count cannot be held in one vector
// of samples. bits_per_symbol must not be 0.
std::size_t ofdm_output_samples(std::size_t bit_count, std::size_t bits_per_symbol, std::size_t samples_per_symbol);

class OfdmMod {
public:
    // Refuses a cyclic prefix longer than the symbol.
    static std::expected<OfdmMod, OfdmModError> create(const OfdmConfig& cfg);

    // ceil(len / bits_per_ofdm_symbol) symbols of samples_per_ofdm_symbol samples; a final
    // partial symbol is completed with zero bits. Only bit 0 of each byte is read. The oscillator
    // runs on from one call to the next. Throws std::bad_alloc when the output size overflows.
    std::vector<Complex> modulate(std::span<const std::uint8_t> bits);

    std::size_t bits_per_ofdm_symbol() const { return bits_per_symbol_; }
    std::size_t samples_per_ofdm_symbol() const { return n_fft_ + cp_len_; }

private:
    explicit OfdmMod(const OfdmConfig& cfg);

    // Maps one symbol's bits to cells_.
    void map_symbol(std::span<const std::uint8_t> bits);

    // Writes one symbol's samples (prefix first) from the bits of one symbol.
    void modulate_symbol(std::span<const std::uint8_t> bits, std::span<Complex> out);

    CarrierGrid grid_;
    IfftBlock ifft_;
    std::vector<Complex> cells_;
    std::vector<std::uint8_t> last_bits_;  // the zero-completed final partial symbol
    std::size_t bits_per_symbol_;
    std::size_t n_fft_;
    std::size_t cp_len_;
    ConstellationOrder constellation_;
    // BPSK and QPSK points by the one or two bits of a cell, taken from the shared mapper once
    // so that mapping random bits needs no data-dependent branch.
    std::array<Complex, 4> psk_points_{};
    float gain_;
    float rf_hz_;
    PhasorNco nco_;
};

}  // namespace kavro
