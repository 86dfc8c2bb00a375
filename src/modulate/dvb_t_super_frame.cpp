#include "modulate/dvb_t_super_frame.hpp"

#include <algorithm>

#include "core/internal_fault.hpp"
#include "modulate/dvb_t_frame.hpp"

namespace kavro {

std::array<std::size_t, waveform::super_frame_frames> super_frame_payload_lens(std::size_t length) {
    std::array<std::size_t, waveform::super_frame_frames> lens{};
    for (std::size_t i = 0; i < waveform::super_frame_frames; ++i)
        lens[i] = length / waveform::super_frame_frames + (i < length % waveform::super_frame_frames ? 1 : 0);
    return lens;
}

std::expected<DvbTSuperFrameMod, TxLowpassLimitError> DvbTSuperFrameMod::with_tx_lowpass(std::size_t num_taps,
                                                                                         float stopband_db) const {
    auto lowpass = dvb_t_tx_lowpass(num_taps, stopband_db);
    if (!lowpass) return std::unexpected(lowpass.error());
    DvbTSuperFrameMod copy = *this;
    copy.tx_lowpass_ = *lowpass;
    return copy;
}

DvbTSuperFrameMod DvbTSuperFrameMod::with_symbol_window(std::size_t roll_off) const {
    DvbTSuperFrameMod copy = *this;
    copy.roll_off_ = roll_off;
    return copy;
}

DvbTSuperFrame DvbTSuperFrameMod::modulate(std::span<const std::uint8_t> payload) const {
    DvbTSuperFrame super_frame;
    super_frame.frame_payload_lens = super_frame_payload_lens(payload.size());
    const std::size_t padded_len = super_frame.frame_payload_lens[0];
    std::vector<std::uint8_t> slice(padded_len);
    std::size_t at = 0;
    for (std::size_t i = 0; i < waveform::super_frame_frames; ++i) {
        const std::size_t len = super_frame.frame_payload_lens[i];
        std::fill(std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(at), len, slice.begin()), slice.end(), 0);
        at += len;
        const DvbTFrame frame = DvbTFrameMod(params_.frame_params(i)).with_symbol_window(roll_off_).modulate(slice);
        if (i == 0) {
            super_frame.symbols_per_frame = frame.n_symbols;
            super_frame.samples_per_symbol = frame.samples_per_symbol;
            super_frame.iq.reserve(waveform::super_frame_frames * frame.iq.size());
        } else if (frame.iq.size() != super_frame.symbols_per_frame * super_frame.samples_per_symbol) {
            internal_fault("super-frame frames differ in length");
        }
        super_frame.iq.insert(super_frame.iq.end(), frame.iq.begin(), frame.iq.end());
    }
    if (tx_lowpass_) tx_lowpass_->apply(super_frame.iq);
    return super_frame;
}

}  // namespace kavro
