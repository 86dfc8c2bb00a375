#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "demodulate/dvb_t_frame.hpp"
#include "waveform/dvb_t_params.hpp"

// Receiver of one super-frame: frame 0 is acquired from the start of the buffer, frames 1..3 from
// slices placed by frame 0's timing, all four decoded by one frame demodulator (the frames differ
// only in the frame number and cell-id byte, which it reports from each frame's TPS). The frames must carry the frame numbers 0..3 in order; the 16-bit cell id is read
// from frames 2 and 3.

namespace kavro {

struct DvbTRxSuperFrame {
    std::vector<std::uint8_t> payload;  // the four frames' payloads, in frame order
    std::uint16_t cell_id = 0;
};

struct DvbTSuperFrameError {
    enum class Kind : std::uint8_t { TooShort, FrameFailed, OutOfSequence };
    Kind kind = Kind::TooShort;
    std::size_t frame = 0;                                          // FrameFailed
    DvbTRxError frame_error = DvbTRxError::GiAcquisition;           // FrameFailed
    std::array<std::uint8_t, waveform::super_frame_frames> frame_numbers{};  // OutOfSequence
};

std::string error_message(const DvbTSuperFrameError& error);

class DvbTSuperFrameDemod {
public:
    explicit DvbTSuperFrameDemod(const waveform::DvbTSuperFrameParams& params) : params_(params) {}

    const waveform::DvbTSuperFrameParams& params() const { return params_; }
    std::size_t rx_window_backoff() const { return rx_window_backoff_; }
    bool integer_cfo_correction() const { return integer_cfo_correction_; }
    bool pre_fec_diagnostics() const { return pre_fec_diagnostics_; }

    DvbTSuperFrameDemod with_rx_window_backoff(std::size_t backoff) const;
    DvbTSuperFrameDemod with_integer_cfo_correction(bool on) const;
    DvbTSuperFrameDemod with_pre_fec_diagnostics(bool on) const;

    // iq starts at or before frame 0's first prefix; symbols_per_frame and frame_payload_lens are
    // what the modulator reported.
    std::expected<DvbTRxSuperFrame, DvbTSuperFrameError> decode(
        std::span<const Complex> iq, std::uint64_t symbols_per_frame,
        std::span<const std::uint64_t, waveform::super_frame_frames> frame_payload_lens) const;

private:
    DvbTFrameDemod frame_demod() const;

    std::size_t rx_window_backoff_ = 0;
    waveform::DvbTSuperFrameParams params_;
    bool integer_cfo_correction_ = false;
    bool pre_fec_diagnostics_ = false;
};

}  // namespace kavro
