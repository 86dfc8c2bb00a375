#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/ofdm_equalizer.hpp"
#include "multicarrier/symbol_fft.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_params.hpp"
#include "waveform/dvb_t_tps_decoder.hpp"

// The per-symbol part of the DVB-T frame receiver, from the samples of each symbol to its soft
// values: the carrier offset removed, FFT (window moved back by the back-off), TPS bit, the bins
// turned about the channel's delay centre into carrier order, the channel estimated from the
// symbol's own pilots, equalisation of the data cells and soft values weighted by the channel (see
// demodulate/dvb_t_frame.hpp for the model).

namespace kavro {

// Energies of the reference points nearest by the LLR decisions and of the errors, for EVM.
struct DvbTEvmSums {
    double reference = 0.0;
    double error = 0.0;

    // One cell and its bits-per-cell soft values.
    void add(Complex cell, std::span<const float> llrs);
};

// One scattered-pilot phase indexed by carrier number rather than FFT bin, so that the
// equaliser interpolates in frequency order, across the carrier at DC as between any other two.
struct DvbTCarrierLayout {
    std::vector<GridPilot> pilots;  // bin = carrier number; the TPS carriers left out
    std::vector<std::size_t> data;  // carrier numbers, ascending
    // FFT bins of the pilots 12 carriers apart and the sign of their values' product: the lag of
    // the delay-centre estimate.
    struct Pair {
        std::size_t low_bin = 0;
        std::size_t high_bin = 0;
        float sign = 1.0f;
    };
    std::vector<Pair> pairs;
};

// The machinery of one guard interval and constellation, built once and reused by every frame:
// carrier layouts, equaliser (its layouts built at the first use of each phase; it estimates the
// channel, the cells are equalised here, the data carriers only), FFT stage and the buffers of
// one symbol.
class DvbTSymbolStage {
public:
    explicit DvbTSymbolStage(const waveform::DvbTFrameParams& params);

    // Every symbol's FFT, TPS bit, equalisation and soft values, the first symbol taken as the
    // frame's symbol 0, after the carrier offset (in carrier spacings) is removed from the frame's
    // samples as one run. Sizes were checked by the caller: the frame's samples and the soft values
    // (n_symbols · 1512 · bits per cell, each written) fit. With `evm`, also the EVM sums. False
    // when a symbol's samples run short.
    [[nodiscard]] bool run(std::span<const Complex> frame, std::size_t n_symbols, std::size_t backoff,
                           double offset_bins, std::span<float> llrs, waveform::TpsDecoder& tps,
                           DvbTEvmSums* evm);

private:
    std::array<DvbTCarrierLayout, waveform::dvb_t_phases> layouts_;
    OfdmEqualizer equalizer_;
    SymbolFft fft_;
    std::vector<Complex> symbol_;          // one symbol period with the carrier offset removed
    std::vector<Complex> turned_, cells_;  // turned_ stays 0 beyond the 1705 carriers
    std::vector<float> weights_;
    std::size_t bits_per_cell_;
};

}  // namespace kavro
