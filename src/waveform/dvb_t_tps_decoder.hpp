#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "waveform/dvb_t_tps.hpp"

// Receive side of the TPS word: one differential BPSK bit per symbol from the 17 raw TPS bins,
// and the shortened BCH(67,53) decode (up to two errors in s1..s67) of each 68-symbol block until
// one block yields a valid word.
//
// Symbol l >= 1 gives bit 1 when Σ Re(X_l·conj(X_(l-1))) over the TPS bins is negative (a NaN sum
// gives 0); symbol 0 gives 0. Block m (symbols 68m .. 68m+67) is decoded from bits 68m+1 ..
// 68m+67 when symbol 68m+67 arrives, as long as no earlier block has decoded; the bit of a
// block's first symbol is never read, so the transmitter's reload of the reference values there
// does not matter.

namespace kavro::waveform {

// A BCH-corrected word s0..s67 (s0 = 0) whose constellation and code-rate fields are valid.
struct TpsBlock {
    TpsBits bits{};
    std::size_t block = 0;   // m: the word came from symbols 68m .. 68m+67
    bool sync_ok = false;    // s1..s22 read 0x35EE or 0xCA11, then 011111
};

// BCH decode of received s1..s67 (67 values, 0 or 1): the corrected s0..s67 with s0 = 0, or
// nothing when the word is uncorrectable, the correction does not reproduce a codeword, or its
// constellation field is 11 or its code-rate field 101..111.
std::optional<TpsBits> tps_bch_decode(std::span<const std::uint8_t> s1_to_s67);

// The reported fields of a decoded word (whose constellation and code-rate fields are valid).
TpsWord tps_word_from_bits(const TpsBits& bits);

class TpsDecoder {
public:
    // Room for n_symbols bits is reserved here; push_symbol allocates nothing.
    explicit TpsDecoder(std::size_t n_symbols);

    // The 2048 raw (unequalised) bins of the next symbol.
    void push_symbol(std::span<const Complex> bins);

    const std::optional<TpsBlock>& word() const { return word_; }
    // One bit per symbol pushed so far.
    std::span<const std::uint8_t> bits() const { return bits_; }

private:
    std::vector<std::uint8_t> bits_;
    std::array<Complex, tps_carrier_count> previous_{};
    std::optional<TpsBlock> word_;
};

}  // namespace kavro::waveform
