#include "modulate/dvb_t_frame.hpp"

#include <algorithm>
#include <array>

#include "core/internal_fault.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/tx_chain.hpp"
#include "multicarrier/ifft_block.hpp"
#include "multicarrier/symbol_window.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_tps.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace kavro {

namespace {

using namespace waveform;

constexpr std::size_t min_symbols = 68;

template <unsigned BitsPerCell, std::size_t Levels>
void map_cells_with(const std::array<float, Levels>& levels, const std::uint8_t* bits, std::span<Complex> cells) {
    for (Complex& cell : cells) {
        unsigned i = 0, q = 0;
        for (unsigned a = 0; a < BitsPerCell; a += 2) {
            i = (i << 1) | (bits[a] & 1u);
            q = (q << 1) | (bits[a + 1] & 1u);
        }
        cell = {levels[i], levels[q]};
        bits += BitsPerCell;
    }
}

template <std::size_t N>
constexpr std::array<float, N> scaled(const std::array<float, N>& levels, float scale) {
    std::array<float, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = levels[i] * scale;
    return out;
}

const std::array<float, 2> qpsk_levels = scaled<2>({1.0f, -1.0f}, qpsk_level);
const std::array<float, 4> qam16_levels = scaled<4>({3.0f, 1.0f, -3.0f, -1.0f}, qam_scale[0]);
const std::array<float, 8> qam64_levels = scaled<8>({7.0f, 5.0f, 1.0f, 3.0f, -7.0f, -5.0f, -1.0f, -3.0f}, qam_scale[1]);

// The bits of symbol l: the coded bits, continued past their end by a copy of their own start
// up to the frame's capacity. Only the last symbols reach past the end; their bits are gathered
// into the scratch buffer.
std::span<const std::uint8_t> symbol_bits(std::span<const std::uint8_t> coded, std::size_t l,
                                          std::span<std::uint8_t> scratch) {
    const std::size_t start = l * scratch.size();
    if (start + scratch.size() <= coded.size()) return coded.subspan(start, scratch.size());
    for (std::size_t i = 0; i < scratch.size(); ++i) {
        const std::size_t at = start + i;
        scratch[i] = coded[at < coded.size() ? at : at - coded.size()];
    }
    return scratch;
}

// The coded bits of the frame (without the fill copy) and its symbol count.
std::vector<std::uint8_t> coded_frame_bits(const DvbTFrameParams& params, std::span<const std::uint8_t> payload,
                                           std::size_t& n_symbols) {
    fec::CodecCache cache;
    const fec::ChainSettings chain = dvb_t_chain_settings(params);
    const std::size_t bits_per_symbol = params.bits_per_cell() * dvb_t_data_carriers;

    std::vector<std::uint8_t> stream = ts_packetize(payload);
    const std::size_t packets = stream.size() / ts_packet_len;
    const std::size_t coded = dvb_t_coded_bits(chain, packets, cache);
    n_symbols = std::max((coded + bits_per_symbol - 1) / bits_per_symbol, min_symbols);

    const DvbTFillPlan fill = dvb_t_frame_fill_with(params, packets, n_symbols, cache);
    append_null_packets(stream, fill.packets - packets);
    ts_energy_disperse(stream);
    std::vector<std::uint8_t> bits = fec::encode_chain_stages(stream, chain, 0, cache).coded;
    if (bits.size() != fill.coded_bits || fill.capacity_bits - bits.size() > bits.size())
        internal_fault("DVB-T chain output differs from its plan");
    return bits;
}

}  // namespace

void map_dvb_t_cells(ConstellationOrder order, std::span<const std::uint8_t> bits, std::span<Complex> cells) {
    if (bits.size() < cells.size() * bits_per_cell(order)) internal_fault("map_dvb_t_cells: too few bits");
    switch (order) {
        case ConstellationOrder::Qpsk: return map_cells_with<2>(qpsk_levels, bits.data(), cells);
        case ConstellationOrder::Qam16: return map_cells_with<4>(qam16_levels, bits.data(), cells);
        case ConstellationOrder::Qam64: return map_cells_with<6>(qam64_levels, bits.data(), cells);
        case ConstellationOrder::Bpsk:
        case ConstellationOrder::Qam256: break;
    }
    internal_fault("map_dvb_t_cells: not a DVB-T constellation");
}

std::expected<TxLowpass, TxLowpassLimitError> dvb_t_tx_lowpass(std::size_t num_taps, float stopband_db) {
    if (auto limits = check_tx_lowpass_limits(num_taps, stopband_db); !limits) return std::unexpected(limits.error());
    const float cutoff = tx_lowpass_cutoff(num_taps, stopband_db, dvb_t_occupied_half_carriers, dvb_t_n_fft);
    return TxLowpass{num_taps, cutoff, stopband_db};
}

std::expected<DvbTFrameMod, TxLowpassLimitError> DvbTFrameMod::with_tx_lowpass(std::size_t num_taps,
                                                                               float stopband_db) const {
    auto lowpass = dvb_t_tx_lowpass(num_taps, stopband_db);
    if (!lowpass) return std::unexpected(lowpass.error());
    DvbTFrameMod copy = *this;
    copy.tx_lowpass_ = *lowpass;
    return copy;
}

DvbTFrameMod DvbTFrameMod::with_symbol_window(std::size_t roll_off) const {
    DvbTFrameMod copy = *this;
    copy.roll_off_ = roll_off;
    return copy;
}

DvbTFrame DvbTFrameMod::modulate(std::span<const std::uint8_t> payload) const {
    DvbTFrame frame;
    const std::vector<std::uint8_t> bits = coded_frame_bits(params_, payload, frame.n_symbols);
    const std::size_t cp = params_.cp_len();
    const std::size_t s = dvb_t_n_fft + cp;
    const std::size_t bits_per_symbol = params_.bits_per_cell() * dvb_t_data_carriers;
    frame.samples_per_symbol = s;
    frame.iq.resize(frame.n_symbols * s);

    ScatteredPilotMapper mapper(params_.guard);
    TpsSymbolWriter tps(params_);
    IfftBlock ifft(dvb_t_n_fft);
    const float scale = ifft.scale();
    std::vector<Complex> cells(dvb_t_data_carriers);
    std::vector<std::uint8_t> scratch(bits_per_symbol);
    for (std::size_t l = 0; l < frame.n_symbols; ++l) {
        map_dvb_t_cells(params_.constellation, symbol_bits(bits, l, scratch), cells);
        mapper.map_symbol(cells, ifft.input());
        tps.write(l, ifft.input());
        ifft.execute();
        const std::span<const Complex> y = ifft.unscaled_output();
        Complex* out = frame.iq.data() + l * s;
        for (std::size_t i = 0; i < cp; ++i) out[i] = y[dvb_t_n_fft - cp + i] * scale;
        for (std::size_t i = 0; i < dvb_t_n_fft; ++i) out[cp + i] = y[i] * scale;
    }

    if (const std::size_t w = std::min(roll_off_, s / 2); w > 0) {
        const std::vector<float> taper = symbol_taper(w);
        for (std::size_t l = 0; l < frame.n_symbols; ++l)
            apply_symbol_taper(std::span(frame.iq).subspan(l * s, s), taper);
    }
    if (tx_lowpass_) tx_lowpass_->apply(frame.iq);
    return frame;
}

}  // namespace kavro
