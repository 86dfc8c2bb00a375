#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/mcs_table.hpp"
#include "modulate/ofdm.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "sync/ofdm_sync.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"
#include "waveform/ofdm_frame/frame_packet.hpp"

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

class OfdmFrameMod {
public:
    // As FrameLink::create, and a cyclic prefix no longer than the symbol.
    static std::expected<OfdmFrameMod, waveform::FrameLinkError> create(const OfdmConfig& cfg,
                                                                        std::span<const fec::Mcs> entries,
                                                                        std::size_t num_repeats, std::size_t repeat_len,
                                                                        std::shared_ptr<fec::CodecCache> cache);

    // The whole frame. Refuses an mcs_index outside the table and a payload longer than
    // max_frame_payload_bytes; codes built on the way stay in the cache. Two calls with the same
    // packet and seed give the same samples. Not for concurrent calls on one object: the
    // modulators' transform buffers are reused.
    std::expected<std::vector<Complex>, waveform::FrameLinkError> modulate_frame(const waveform::FramePacket& frame,
                                                                                 std::uint32_t per_frame_seed) const;

    const waveform::FrameLink& link() const { return link_; }
    const PreambleParams& preamble() const { return preamble_; }

private:
    OfdmFrameMod(waveform::FrameLink link, PreambleParams preamble);

    // The modulator of one constellation, built on first use and kept with its transform plan
    // (at rf_hz = 0 it keeps no state from one call to the next).
    OfdmMod& modulator(ConstellationOrder constellation) const;
    void append_symbols(std::vector<Complex>& out, ConstellationOrder constellation,
                        std::span<const std::uint8_t> bits) const;

    waveform::FrameLink link_;
    PreambleParams preamble_;
    std::vector<Complex> preamble_samples_;  // repeated segments and training symbol, times gain
    std::vector<float> taper_;               // the symbol taper's ramp; empty without roll-off
    mutable std::array<std::optional<OfdmMod>, 5> modulators_;
};

}  // namespace kavro
