#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "fec/scrambler.hpp"
#include "fec/chain/chain_settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "modulate/ofdm_frame/frame_packet.hpp"
#include "modulate/ofdm.hpp"
#include "fec/chain/mcs_table.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "sync/ofdm_sync.hpp"

// Frame assembly: one FramePacket becomes the samples of one whole frame, in this order:
//   preamble (num_repeats copies of the repeated segment, then the training symbol),
//   header (the 14 header bytes under the fixed header code, BPSK, when the header format is the
//     native one),
//   payload (the packet's bytes through the payload chain that its MCS entry and the
//     configuration select, mapped with the entry's constellation),
// then the optional symbol taper over every whole symbol after the repeated segments and the
// optional transmit low-pass over the whole frame. A frame is P + S·(1 + H + M) samples long:
// P = num_repeats·repeat_len, S = n_fft + cp_len, H header and M payload symbols.

namespace kavro {

// Why a frame object cannot be built or a frame cannot be sent.
struct FrameLinkError {
    enum class Kind : std::uint8_t {
        EmptyTable,
        NotBaseband,          // rf_hz
        CpLongerThanFft,      // a = cp_len, b = n_fft
        PreambleTooLong,      // a = num_repeats, b = repeat_len, c = n_fft, d = cp_len
        Lfsr,                 // lfsr
        InterleaverZeroSize,
        McsIndexOutsideTable,
        PayloadTooLong,       // a = payload bytes
    };
    Kind kind = Kind::EmptyTable;
    float rf_hz = 0.0f;
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    fec::LfsrError lfsr = fec::LfsrError::WidthOutOfRange;
};

std::string error_message(const FrameLinkError& error);

// The longest preamble span (repeated segments plus training symbol) a frame object accepts.
inline constexpr std::uint64_t max_preamble_span = std::uint64_t{1} << 24;

// What the three frame objects hold: a copy of the configuration and of the table's entries, and
// a counted handle on a codec cache that other objects may share.
struct FrameLink {
    OfdmConfig cfg;
    std::vector<Mcs> entries;
    std::shared_ptr<CodecCache> cache;

    // Checks, first failure wins: a non-empty table; rf_hz = 0; the preamble span
    // num_repeats·repeat_len + n_fft + cp_len at most 2^24 (the receivers' layouts alike); an
    // LFSR scrambler the scrambler accepts; non-zero interleaver dimensions. A null cache gets a
    // private one.
    static std::expected<FrameLink, FrameLinkError> create(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                           std::size_t num_repeats, std::size_t repeat_len,
                                                           std::shared_ptr<CodecCache> cache);
};

// The per-section configuration of frame assembly and the body decoder: the link's plan, fs,
// rf_hz, gain and receive back-off with the given constellation, every coding setting default.
OfdmConfig symbol_config(const OfdmConfig& cfg, ConstellationOrder constellation);

// The payload chain of a frame sent with `entry`: the entry's outer and inner codes with the
// configuration's payload CRC, interleavers, scrambler and its position, and LDPC decode rule.
ChainSettings payload_chain_settings(const OfdmConfig& cfg, const Mcs& entry);

class OfdmFrameMod {
public:
    // As FrameLink::create, and a cyclic prefix no longer than the symbol.
    static std::expected<OfdmFrameMod, FrameLinkError> create(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                              std::size_t num_repeats, std::size_t repeat_len,
                                                              std::shared_ptr<CodecCache> cache);

    // The whole frame. Refuses an mcs_index outside the table and a payload longer than
    // max_frame_payload_bytes; codes built on the way stay in the cache. Two calls with the same
    // packet and seed give the same samples. Not for concurrent calls on one object: the
    // modulators' transform buffers are reused.
    std::expected<std::vector<Complex>, FrameLinkError> modulate_frame(const FramePacket& frame,
                                                                       std::uint32_t per_frame_seed) const;

    const FrameLink& link() const { return link_; }
    const PreambleParams& preamble() const { return preamble_; }

private:
    OfdmFrameMod(FrameLink link, PreambleParams preamble);

    // The modulator of one constellation, built on first use and kept with its transform plan
    // (at rf_hz = 0 it keeps no state from one call to the next).
    OfdmMod& modulator(ConstellationOrder constellation) const;
    void append_symbols(std::vector<Complex>& out, ConstellationOrder constellation,
                        std::span<const std::uint8_t> bits) const;

    FrameLink link_;
    PreambleParams preamble_;
    std::vector<Complex> preamble_samples_;  // repeated segments and training symbol, times gain
    std::vector<float> taper_;               // the symbol taper's ramp; empty without roll-off
    mutable std::array<std::optional<OfdmMod>, 5> modulators_;
};

}  // namespace kavro
