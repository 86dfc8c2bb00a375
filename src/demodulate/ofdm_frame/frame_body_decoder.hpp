#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/ofdm_frame/section_demodulator.hpp"
#include "fec/chain/chain_settings.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/mcs_table.hpp"
#include "fec/chain/rx_chain.hpp"
#include "fec/chain/tx_chain.hpp"
#include "fec/rx_error.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "waveform/ofdm_frame/frame_header.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"
#include "waveform/ofdm_frame/frame_packet.hpp"

// The frame body decoder: given the samples that start right after a frame's training symbol
// (carrier offset already removed) and, optionally, that training symbol's FFT bins (its window
// moved min(rx_window_backoff, cp_len) samples into its prefix, as the body's windows are), it
// demodulates and decodes the header, looks the payload's modulation and coding up in the MCS
// entries, and demodulates and decodes the payload. Each section is equalised from the training
// bins given with it; the payload's phase tracking starts from the header's line carried forward.
//
// QAM soft values are squared-distance differences with no noise scaling; under the sum-product
// LDPC rule their scale matters, so QAM payloads with an LDPC inner code are scaled by 1/σ², σ²
// measured on the header cells against the header's own re-encoded bits once the header has
// passed its check (floored at 1e-4).

namespace kavro {

// Why a step gave no result: its samples end before its last symbol, or the frame failed.
using BodyFailure = std::variant<NeedMoreSamples, fec::RxError>;

// The receive error of a failure; missing samples count as a malformed header.
fec::RxError rx_error(const BodyFailure& failure);

struct RxFrame {
    std::vector<std::uint8_t> payload;
    std::uint32_t sequence_num = 0;
    std::uint8_t mcs_index = 0;
    std::uint8_t flags = 0;
    std::optional<float> evm_db;                       // of the payload cells
    std::optional<float> pre_fec_channel_error_ratio;  // only with pre-decoding diagnostics
    std::optional<float> pre_fec_outer_error_ratio;    // only with pre-decoding diagnostics
    std::size_t consumed_samples = 0;                  // S·(H + M) from the body start
    bool inner_converged = true;
    bool outer_ok = true;

    waveform::FramePacket packet() && {
        return waveform::FramePacket{std::move(payload), sequence_num, mcs_index, flags};
    }
};

// What a decoded header tells about the rest of the frame.
struct HeaderStage {
    waveform::FrameHeader header;
    fec::Mcs entry;
    fec::BlockPlan payload_plan;
    std::size_t header_symbols = 0;   // H
    std::size_t payload_symbols = 0;  // M
    float noise_variance = 1.0f;      // σ² of the equalised header cells
    std::optional<PhaseLine> phase;   // the header's tracked phase, when it was tracked
    std::uint64_t body_samples = 0;   // S·(H + M)
};

// Built once per link: the header's code and plan and each ladder entry's payload chain are
// settled here, and the transforms, the chain decoder and the buffers are kept from one frame to
// the next. One caller at a time.
class FrameBodyDecoder {
public:
    using TrainingBins = std::optional<std::span<const Complex>>;

    explicit FrameBodyDecoder(waveform::FrameLink link);

    // The header step: needs the body's first H symbols.
    std::expected<HeaderStage, BodyFailure> decode_header(std::span<const Complex> body, TrainingBins training_bins);
    // The payload step, after decode_header on the same samples: needs all H + M symbols.
    std::expected<RxFrame, BodyFailure> decode_payload(const HeaderStage& stage, std::span<const Complex> body,
                                                       TrainingBins training_bins);
    // Both steps.
    std::expected<RxFrame, BodyFailure> decode(std::span<const Complex> body, TrainingBins training_bins);

    // With diagnostics every decoded payload reports its pre-decoding error ratios.
    void set_pre_fec_diagnostics(bool on) { pre_fec_diagnostics_ = on; }

    const waveform::FrameLink& link() const { return link_; }
    std::size_t header_symbols() const { return header_symbols_; }
    // The last section's cells, and the hard decisions of the last payload.
    std::span<const Complex> cells() const { return sections_.cells(); }
    std::span<const std::uint8_t> payload_bits() const { return bits_; }

private:
    waveform::FrameLink link_;
    fec::ChainSettings header_chain_;
    fec::BlockPlan header_plan_;
    std::size_t header_symbols_;
    std::vector<fec::ChainSettings> payload_chains_;  // one per ladder entry
    SectionDemodulator sections_;
    fec::ChainDecoder chain_;
    std::vector<std::uint8_t> bits_;
    bool pre_fec_diagnostics_ = false;
};

// The batch decoder: one frame whose samples start right after its training symbol, at unit gain
// and without carrier offset. No synchronisation or channel estimation happens here.
class OfdmFrameDemod {
public:
    static std::expected<OfdmFrameDemod, waveform::FrameLinkError> create(const OfdmConfig& cfg,
                                                                          std::span<const fec::Mcs> entries,
                                                                          std::shared_ptr<fec::CodecCache> cache);

    // Missing samples and any fault inside the attempt report "malformed frame header". One
    // caller at a time.
    std::expected<waveform::FramePacket, fec::RxError> decode(std::span<const Complex> iq);

    const waveform::FrameLink& link() const { return body_.link(); }

private:
    explicit OfdmFrameDemod(waveform::FrameLink link) : body_(std::move(link)) {}

    FrameBodyDecoder body_;
};

}  // namespace kavro
