#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "core/constellation.hpp"
#include "multicarrier/tx_lowpass.hpp"
#include "waveform/dvb_t_params.hpp"

// The DVB-T 2K frame modulator: payload bytes to transport-stream packets, null stuffing to the
// frame's capacity, energy dispersal, the DVB-T coding chain, cells on the 1512 data carriers,
// scattered and continual pilots, TPS, inverse FFT and cyclic prefix, then the optional symbol
// taper and transmit low-pass. No preamble: receivers acquire the frame from its guard intervals.

namespace kavro {

struct DvbTFrame {
    std::vector<Complex> iq;  // n_symbols x samples_per_symbol samples
    std::size_t n_symbols = 0;
    std::size_t samples_per_symbol = 0;
};

// Maps cells.size() cells from the leading bits, bits_per_cell(order) bits per cell: in-phase
// index y0 y2 y4, quadrature index y1 y3 y5 (most significant first), each index selecting a
// level of the DVB-T order (64-QAM: 7, 5, 1, 3, -7, -5, -1, -3) times 1/sqrt(2(M - 1)/3).
// Only QPSK, 16-QAM and 64-QAM; other orders are an internal fault.
void map_dvb_t_cells(ConstellationOrder order, std::span<const std::uint8_t> bits, std::span<Complex> cells);

// The transmit low-pass a DVB-T builder stores: the limits checked, the cutoff placed against the
// fixed 852-of-2048 band edge, num_taps and stopband_db kept as given.
std::expected<TxLowpass, TxLowpassLimitError> dvb_t_tx_lowpass(std::size_t num_taps, float stopband_db);

class DvbTFrameMod {
public:
    explicit DvbTFrameMod(const waveform::DvbTFrameParams& params) : params_(params) {}

    // One frame per call, from a fresh codec cache, grid cycle and TPS state; any payload,
    // empty included.
    DvbTFrame modulate(std::span<const std::uint8_t> payload) const;

    std::expected<DvbTFrameMod, TxLowpassLimitError> with_tx_lowpass(std::size_t num_taps,
                                                                     float stopband_db = 60.0f) const;
    DvbTFrameMod with_symbol_window(std::size_t roll_off) const;

    const waveform::DvbTFrameParams& params() const { return params_; }
    const std::optional<TxLowpass>& tx_lowpass() const { return tx_lowpass_; }
    std::size_t roll_off() const { return roll_off_; }

private:
    waveform::DvbTFrameParams params_;
    std::optional<TxLowpass> tx_lowpass_;
    std::size_t roll_off_ = 0;
};

}  // namespace kavro
