#pragma once

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
#include "fec/chain/tx_chain.hpp"
#include "fec/rx_error.hpp"
#include "modulate/ofdm_frame/frame_assembly.hpp"
#include "modulate/ofdm_frame/frame_header.hpp"
#include "modulate/ofdm_frame/frame_packet.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/fft_block.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "multicarrier/ofdm_equalizer.hpp"

// The frame body decoder: given the samples that start right after a frame's training symbol
// (carrier offset already removed) and, optionally, that training symbol's FFT bins (its window
// moved min(rx_window_backoff, cp_len) samples into its prefix, as the body's windows are), it
// demodulates and decodes the header, looks the payload's modulation and coding up in the MCS
// entries, and demodulates and decodes the payload.
//
// With training bins each section (header, payload) is equalised from them and, when it spans at
// least four symbols, has a common phase drift removed: a decision-directed first pass measures
// each symbol's phase and a least-squares line through those phases is taken out. The payload's
// first pass starts from the header's line carried forward: a residual carrier offset turns the
// phase steadily from the training symbol on, and by the first payload symbol that turn can
// exceed what the payload's decisions tolerate (a quarter turn for QPSK, much less for QAM). Without
// training bins the cells are demapped exactly as the FFT returns them, so the samples must
// arrive at unit gain and zero phase; the FFT window then starts right after each prefix, since
// without an equaliser a window moved into the prefix would turn every bin by its own phase.
//
// QAM soft values are squared-distance differences with no noise scaling; under the sum-product
// LDPC rule their scale matters, so QAM payloads with an LDPC inner code are scaled by 1/σ², σ²
// measured on the header cells against the header's own re-encoded bits once the header has
// passed its check (floored at 1e-4).

namespace kavro {

// A failed decode: one of the RxError codes, or 255 when the samples end before the frame's last
// symbol (the streaming receiver then waits for more).
struct BodyFailure {
    static constexpr std::uint8_t need_more_samples_code = 255;
    std::uint8_t code = need_more_samples_code;

    static BodyFailure of(fec::RxError error) { return {static_cast<std::uint8_t>(error)}; }
    static BodyFailure need_more_samples() { return {need_more_samples_code}; }
    bool needs_more_samples() const { return code == need_more_samples_code; }
    // The receive error; missing samples count as a malformed header.
    fec::RxError error() const {
        return needs_more_samples() ? fec::RxError::MalformedHeader : static_cast<fec::RxError>(code);
    }

    friend constexpr bool operator==(const BodyFailure&, const BodyFailure&) = default;
};

struct RxFrame {
    std::vector<std::uint8_t> payload;
    std::uint32_t sequence_num = 0;
    std::uint8_t mcs_index = 0;
    std::uint8_t flags = 0;
    std::optional<float> evm_db;                       // of the payload cells
    std::optional<float> pre_fec_channel_error_ratio;  // only with pre_fec_diagnostics
    std::optional<float> pre_fec_outer_error_ratio;    // only with pre_fec_diagnostics
    std::size_t consumed_samples = 0;                  // S·(H + M) from the body start
    bool inner_converged = true;
    bool outer_ok = true;

    FramePacket packet() && { return FramePacket{std::move(payload), sequence_num, mcs_index, flags}; }
};

// What every decode for one carrier plan needs, built once: the forward transform with its plan,
// the carrier grid and the training-symbol equaliser (estimated afresh for every section).
struct DecoderPlans {
    CarrierPlan plan;
    FftBlock fft;
    CarrierGrid grid;
    OfdmEqualizer equaliser;
    std::vector<Complex> bins, equalised;

    explicit DecoderPlans(const OfdmConfig& cfg);
};

// Working vectors a receiver lends to every decode: after a call they hold that frame's payload
// cells and hard bits. The plans are built on first use and rebuilt only for another carrier plan.
struct FrameScratch {
    std::vector<Complex> cells;
    std::vector<std::uint8_t> bits;
    std::optional<DecoderPlans> plans;

    DecoderPlans& plans_for(const OfdmConfig& cfg);
};

// A section's common phase as a line over its symbols: intercept + slope·k for symbol k.
struct PhaseLine {
    float intercept = 0.0f;
    float slope = 0.0f;

    float at(std::size_t symbol) const { return intercept + slope * static_cast<float>(symbol); }
};

// What a decoded header tells about the rest of the frame.
struct HeaderStage {
    FrameHeader header;
    Mcs entry;
    BlockPlan payload_plan;
    std::size_t header_symbols = 0;   // H
    std::size_t payload_symbols = 0;  // M
    float noise_variance = 1.0f;      // σ² of the equalised header cells
    std::optional<PhaseLine> phase;   // the header's tracked phase, when it was tracked
    std::uint64_t body_samples = 0;   // S·(H + M)
};

// The window back-off the decoder applies: min(rx_window_backoff, cp_len) with training bins,
// none without.
std::size_t body_window_backoff(const OfdmConfig& cfg, bool has_training_bins);

// Demodulates `count` symbols from `offset` into soft values (count·D·bits-per-cell, symbol
// after symbol), appending the demapped cells to soft_sink when given; needs count·S samples
// after offset. Each FFT window starts cp_len - backoff samples into its symbol. With an
// equaliser and at least four symbols the section's common phase is tracked, starting from the
// `expected` line (the phase the previous section predicts for these symbols), and the fitted
// line is stored in `tracked` when given.
// `plans` (for cfg's carrier plan) lends its transform and grid; without, they are built here.
std::expected<std::vector<float>, BodyFailure> demodulate_symbols(const OfdmConfig& cfg,
                                                                  ConstellationOrder constellation,
                                                                  std::span<const Complex> samples, std::size_t offset,
                                                                  std::size_t count, std::size_t backoff,
                                                                  OfdmEqualizer* equaliser,
                                                                  std::vector<Complex>* soft_sink,
                                                                  PhaseLine expected = {},
                                                                  std::optional<PhaseLine>* tracked = nullptr,
                                                                  DecoderPlans* plans = nullptr);

// Header stage alone: needs the first H symbols of the body.
std::expected<HeaderStage, BodyFailure> decode_frame_header(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                            std::span<const Complex> samples,
                                                            std::optional<std::span<const Complex>> training_bins,
                                                            CodecCache& cache, FrameScratch& scratch);

// Payload stage after decode_frame_header on the same samples.
std::expected<RxFrame, BodyFailure> decode_frame_payload(const OfdmConfig& cfg, const HeaderStage& stage,
                                                         std::span<const Complex> samples,
                                                         std::optional<std::span<const Complex>> training_bins,
                                                         CodecCache& cache, bool pre_fec_diagnostics,
                                                         FrameScratch& scratch);

// Both stages.
std::expected<RxFrame, BodyFailure> decode_frame_body(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                      std::span<const Complex> samples,
                                                      std::optional<std::span<const Complex>> training_bins,
                                                      CodecCache& cache, bool pre_fec_diagnostics,
                                                      FrameScratch& scratch);

// The batch decoder: one frame whose samples start right after its training symbol, at unit gain
// and without carrier offset. No synchronisation or channel estimation happens here.
class OfdmFrameDemod {
public:
    static std::expected<OfdmFrameDemod, FrameLinkError> create(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                                std::shared_ptr<CodecCache> cache);

    // Missing samples and any fault inside the attempt report "malformed frame header".
    std::expected<FramePacket, fec::RxError> decode(std::span<const Complex> iq) const;

    const FrameLink& link() const { return link_; }

private:
    explicit OfdmFrameDemod(FrameLink link) : link_(std::move(link)) {}

    FrameLink link_;
    mutable FrameScratch scratch_;  // not for concurrent calls on one object
};

}  // namespace kavro
