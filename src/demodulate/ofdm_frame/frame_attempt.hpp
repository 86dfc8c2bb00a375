#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/phasor_nco.hpp"
#include "demodulate/ofdm_frame/frame_body_decoder.hpp"
#include "demodulate/ofdm_frame/offset_records.hpp"
#include "fec/rx_error.hpp"
#include "multicarrier/fft_block.hpp"
#include "multicarrier/ifft_block.hpp"
#include "sync/ofdm_sync.hpp"
#include "waveform/ofdm_frame/frame_link.hpp"

// One attempt at a frame whose preamble the search placed: its carrier offset is resolved and
// removed, its training symbol transformed, and its header and payload decoded as their samples
// arrive. The decoder reads the frame's samples from its preamble start on and knows nothing of
// the stream around them.
//
// The search's fractional offset (from the repeated segments) leaves a whole number of bins,
// matched on products of neighbouring training bins, which a window early by a few samples
// (harmless to the body, whose windows move with it) does not disturb; the training symbol's
// prefix against its copy N samples later then refines the offset. The attempt's samples are
// scaled by a power of two that brings the preamble near its transmitted power, so that no step of
// the decode depends on the stream's amplitude.

namespace kavro {

// An attempt in progress: where its preamble starts in the stream, the oscillator that removes its
// offset, its scale and, once decoded, its header.
struct FrameAttempt {
    std::uint64_t start = 0;
    PhasorNco nco;
    float scale = 1.0f;
    std::optional<HeaderStage> stage;
};

class FrameAttemptDecoder {
public:
    using Outcome = std::expected<RxFrame, fec::RxError>;

    FrameAttemptDecoder(waveform::FrameLink link, const PreambleParams& preamble);

    // Every call reads `samples`, the stream from the attempt's preamble start on, and the attempt's
    // derotated samples so far in `derotated`, which it extends.

    // Resolves the offset of the preamble at `start` from its search record; needs W samples. An
    // internal fault escapes as InternalFault, which fails this frame only.
    FrameAttempt open(std::uint64_t start, const OffsetRecord& record, std::span<const Complex> samples);
    // Decodes the header once its symbols have arrived: nothing while they are still arriving (and
    // once the header is decoded), else why the frame failed.
    std::optional<fec::RxError> advance_header(FrameAttempt& attempt, std::vector<Complex>& derotated,
                                               std::span<const Complex> samples);
    // Decodes the payload of an attempt with a decoded header, once the whole frame has arrived.
    Outcome decode_payload(FrameAttempt& attempt, std::vector<Complex>& derotated, std::span<const Complex> samples);

    const waveform::FrameLink& link() const { return body_.link(); }
    std::uint64_t samples_derotated() const { return samples_derotated_; }
    std::uint64_t headers_decoded() const { return headers_decoded_; }

private:
    // The spectrum the whole-bin search multiplies the neighbour products' spectrum by.
    static std::vector<Complex> training_pair_spectrum(const OfdmConfig& cfg);

    float attempt_scale(const OffsetRecord& record) const;
    std::int32_t whole_bin_offset(std::span<const Complex> samples, float cfo_hz, float scale);
    float refine_offset(std::span<const Complex> samples, const OffsetRecord& record, float coarse_hz,
                        float scale) const;
    void derotate_to(FrameAttempt& attempt, std::vector<Complex>& derotated, std::uint64_t count,
                     std::span<const Complex> samples);
    // The training symbol's bins from the derotated samples, valid until the next transform.
    std::span<const Complex> training_bins(std::span<const Complex> derotated);

    FrameBodyDecoder body_;
    PreambleParams preamble_;
    float fs_;
    std::uint64_t n_fft_, cp_len_, preamble_len_, span_;  // N, C, M·R, W
    float segment_power_;  // mean power of the transmitted repeated segment
    float cfo_divisor_;
    std::vector<Complex> pair_spectrum_;
    FftBlock fft_;
    IfftBlock ifft_;
    std::uint64_t samples_derotated_ = 0;
    std::uint64_t headers_decoded_ = 0;
};

}  // namespace kavro
