#include "demodulate/dvb_t_super_frame.hpp"

#include <algorithm>
#include <string>

#include "waveform/dvb_t.hpp"

namespace kavro {

namespace {

using waveform::super_frame_frames;

std::unexpected<DvbTSuperFrameError> frame_failed(std::size_t i, const DvbTRxFailure& failure) {
    return std::unexpected(DvbTSuperFrameError{DvbTSuperFrameError::Kind::FrameFailed, i, failure.error, {}});
}

}  // namespace

std::string error_message(const DvbTSuperFrameError& error) {
    switch (error.kind) {
        case DvbTSuperFrameError::Kind::TooShort: return "super-frame: too few samples for four frames";
        case DvbTSuperFrameError::Kind::FrameFailed:
            return "super-frame: frame " + std::to_string(error.frame) + " failed: " +
                   std::string(dvb_t_rx_error_text(error.frame_error));
        case DvbTSuperFrameError::Kind::OutOfSequence: break;
    }
    std::string numbers;
    for (const std::uint8_t n : error.frame_numbers) numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
    return "super-frame: frame numbers out of sequence (got [" + numbers + "], expected 0..3)";
}

DvbTSuperFrameDemod DvbTSuperFrameDemod::with_rx_window_backoff(std::size_t backoff) const {
    DvbTSuperFrameDemod copy = *this;
    copy.rx_window_backoff_ = backoff;
    return copy;
}

DvbTSuperFrameDemod DvbTSuperFrameDemod::with_integer_cfo_correction(bool on) const {
    DvbTSuperFrameDemod copy = *this;
    copy.integer_cfo_correction_ = on;
    return copy;
}

DvbTSuperFrameDemod DvbTSuperFrameDemod::with_pre_fec_diagnostics(bool on) const {
    DvbTSuperFrameDemod copy = *this;
    copy.pre_fec_diagnostics_ = on;
    return copy;
}

// The four frames differ only in frame number and cell-id byte, which the frame demodulator only
// reports: one demodulator, planned once, decodes them all.
DvbTFrameDemod DvbTSuperFrameDemod::frame_demod() const {
    return DvbTFrameDemod(params_.frame_params(0))
        .with_rx_window_backoff(rx_window_backoff_)
        .with_integer_cfo_correction(integer_cfo_correction_)
        .with_pre_fec_diagnostics(pre_fec_diagnostics_);
}

std::expected<DvbTRxSuperFrame, DvbTSuperFrameError> DvbTSuperFrameDemod::decode(
    std::span<const Complex> iq, std::uint64_t symbols_per_frame,
    std::span<const std::uint64_t, super_frame_frames> frame_payload_lens) const {
    DvbTFrameDemod demod = frame_demod();
    auto first = demod.decode(iq, symbols_per_frame, frame_payload_lens[0]);
    if (!first) return frame_failed(0, first.error());

    // Frame 0 decoded, so its timing plus its length lies inside the buffer: F cannot wrap.
    const std::size_t cp = params_.frame_params(0).cp_len();
    const std::size_t frame_len = static_cast<std::size_t>(symbols_per_frame) * (cp + waveform::dvb_t_n_fft);
    const std::size_t t0 = *first->timing;
    // Frames 1..3 are looked for from at most half a prefix before their expected start: an
    // earlier slice start would let the previous frame's last symbol win the acquisition.
    const std::size_t lead = std::min(t0, (cp + 1) / 2);

    DvbTRxSuperFrame result;
    result.payload = std::move(first->payload);
    std::array<std::uint8_t, super_frame_frames> numbers{first->tps.frame_number};
    std::array<std::uint8_t, super_frame_frames> cell_bytes{first->tps.cell_id};
    for (std::size_t i = 1; i < super_frame_frames; ++i) {
        const std::size_t start = i * frame_len + t0 - lead;
        if (start > iq.size()) return std::unexpected(DvbTSuperFrameError{});
        auto frame = demod.decode(iq.subspan(start), symbols_per_frame, frame_payload_lens[i]);
        if (!frame) return frame_failed(i, frame.error());
        result.payload.insert(result.payload.end(), frame->payload.begin(), frame->payload.end());
        numbers[i] = frame->tps.frame_number;
        cell_bytes[i] = frame->tps.cell_id;
    }
    if (numbers != std::array<std::uint8_t, super_frame_frames>{0, 1, 2, 3})
        return std::unexpected(DvbTSuperFrameError{DvbTSuperFrameError::Kind::OutOfSequence, 0, {}, numbers});
    result.cell_id = static_cast<std::uint16_t>(cell_bytes[2] << 8 | cell_bytes[3]);
    return result;
}

}  // namespace kavro
