#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "waveform/dvb_t_params.hpp"

// TPS signalling: the 68-bit word s0..s67 a frame carries on 17 carriers, one bit per symbol,
// differentially from a reference set of signs. Multi-bit fields are most significant bit first.
//   s1..s16   sync word 0x35EE (even frame number) or 0xCA11 (odd)
//   s17..s22  length indicator 011111
//   s23, s24  frame number, bit 1 then bit 0
//   s25, s26  constellation (QPSK 00, 16-QAM 01, 64-QAM 10)
//   s27..s29  hierarchy 000
//   s30..s35  code rate, twice
//   s36, s37  guard index;  s38, s39  mode (2K: 00)
//   s40..s47  cell id;  s48..s53  zero
//   s54..s67  BCH(67,53) parity of s1..s53, g(x) = x^14+x^9+x^8+x^6+x^5+x^4+x^2+x+1

namespace kavro::waveform {

inline constexpr std::size_t tps_word_bits = 68;
inline constexpr std::size_t tps_carrier_count = 17;
inline constexpr std::uint16_t tps_sync_even = 0x35EE;
inline constexpr std::uint16_t tps_sync_odd = 0xCA11;
inline constexpr std::uint16_t tps_generator = 0x4377;  // g(x), x^14 in bit 14

using TpsBits = std::array<std::uint8_t, tps_word_bits>;

// The word a transmitter sends for these parameters.
TpsBits encode_tps(const DvbTFrameParams& params);

// The BCH remainder register run over the given bits: r = (r << 1 | b), XOR g when bit 13 was
// set before the shift (14 bits). Over s1..s53 and 14 zeros it gives the parity; over s1..s67 of a valid
// word it ends at 0.
std::uint16_t tps_remainder(std::span<const std::uint8_t> bits);

// 1 - 2 w_k for the 17 TPS carriers, in carrier order.
std::array<float, tps_carrier_count> tps_reference_signs();

// Writes the TPS values of successive symbols of one frame: symbol 68m carries the reference
// signs, symbol 68m + j the previous values negated where s_j is 1.
class TpsSymbolWriter {
public:
    explicit TpsSymbolWriter(const DvbTFrameParams& params);

    // Sets the 17 TPS bins of the 2048-bin spectrum of symbol l (l counts from 0 per frame,
    // and must follow the previous call's l by one) and steps the differential state.
    void write(std::size_t l, std::span<Complex> bins);

private:
    TpsBits word_;
    std::array<float, tps_carrier_count> reference_;
    std::array<float, tps_carrier_count> current_;
};

// A decoded word as receivers report it.
struct TpsWord {
    std::uint8_t frame_number = 0;  // 0..3
    ConstellationOrder constellation = ConstellationOrder::Qpsk;
    std::uint8_t code_rate = 0;
    std::uint8_t guard = 0;
    std::uint8_t cell_id = 0;

    friend constexpr bool operator==(const TpsWord&, const TpsWord&) = default;
};

// TpsWord(frame_number=2, constellation="qam16", code_rate="3/4", guard="1/8", cell_id=171)
std::string repr(const TpsWord& word);

}  // namespace kavro::waveform
