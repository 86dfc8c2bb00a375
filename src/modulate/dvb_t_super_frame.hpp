#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/tx_lowpass.hpp"
#include "waveform/dvb_t_params.hpp"

// Four consecutive DVB-T frames carrying one payload and a 16-bit cell id, numbered and labelled
// as DvbTSuperFrameParams gives each frame's parameters. The payload is split into four nearly equal slices, the shorter ones zero-padded to the first's length so
// that every frame has the same length; the symbol taper runs inside each frame, the transmit
// low-pass once across all four.

namespace kavro {

struct DvbTSuperFrame {
    std::vector<Complex> iq;  // the four frames in order
    std::size_t symbols_per_frame = 0;
    std::size_t samples_per_symbol = 0;
    std::array<std::size_t, waveform::super_frame_frames> frame_payload_lens{};  // before padding

    std::size_t n_symbols() const { return waveform::super_frame_frames * symbols_per_frame; }
};

// How a payload of `length` bytes is split: frame i takes ceil or floor of length / 4, the
// first (length mod 4) frames one byte more.
std::array<std::size_t, waveform::super_frame_frames> super_frame_payload_lens(std::size_t length);

class DvbTSuperFrameMod {
public:
    explicit DvbTSuperFrameMod(const waveform::DvbTSuperFrameParams& params) : params_(params) {}

    DvbTSuperFrame modulate(std::span<const std::uint8_t> payload) const;

    // The frame modulator's rule and limits (cutoff against the 852-of-2048 band edge).
    std::expected<DvbTSuperFrameMod, TxLowpassLimitError> with_tx_lowpass(std::size_t num_taps,
                                                                          float stopband_db = 60.0f) const;
    DvbTSuperFrameMod with_symbol_window(std::size_t roll_off) const;

    const waveform::DvbTSuperFrameParams& params() const { return params_; }
    const std::optional<TxLowpass>& tx_lowpass() const { return tx_lowpass_; }
    std::size_t roll_off() const { return roll_off_; }

private:
    std::optional<TxLowpass> tx_lowpass_;
    std::size_t roll_off_ = 0;
    waveform::DvbTSuperFrameParams params_;
};

}  // namespace kavro
