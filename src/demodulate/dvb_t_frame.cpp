#include "demodulate/dvb_t_frame.hpp"

#include <array>
#include <cmath>
#include <memory>
#include <numbers>

#include "core/internal_fault.hpp"
#include "fec/chain/rx_chain.hpp"
#include "multicarrier/ofdm_config.hpp"
#include "multicarrier/ofdm_equalizer.hpp"
#include "multicarrier/symbol_fft.hpp"
#include "sync/dvb_t_gi_sync.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "waveform/dvb_t.hpp"
#include "waveform/dvb_t_soft_llr.hpp"
#include "waveform/dvb_t_tps_decoder.hpp"
#include "waveform/dvb_t_ts.hpp"

namespace kavro {

namespace {

using waveform::dvb_t_data_carriers;
using waveform::dvb_t_n_fft;

std::unexpected<DvbTRxFailure> fail(DvbTRxError error) {
    DvbTRxFailure failure;
    failure.error = error;
    return std::unexpected(std::move(failure));
}

// The buffer the frame is read from: the caller's, or a copy with the whole-carrier offset
// removed.
struct Acquisition {
    std::vector<Complex> derotated;
    std::span<const Complex> iq;
    GiSyncResult sync;
    std::optional<std::int32_t> integer_bins;
};

std::optional<Acquisition> acquire(std::span<const Complex> iq, std::size_t cp, bool integer_search) {
    const std::size_t period = cp + dvb_t_n_fft;
    Acquisition a;
    a.iq = iq;
    if (integer_search) {
        if (const auto coarse = dvb_t_gi_sync(iq, cp, period)) {
            const int bins = dvb_t_integer_cfo_bins(iq, coarse->timing, cp);
            a.integer_bins = bins;
            if (bins != 0) {
                a.derotated = remove_integer_cfo(iq, bins);
                a.iq = a.derotated;
            }
        }
    }
    const auto sync = dvb_t_gi_sync(a.iq, cp, period);
    if (!sync) return std::nullopt;
    a.sync = *sync;
    return a;
}

// e^(+j2π·(i·b mod 2048)/2048) per bin: undoes the turn an FFT window b samples early gives bin i.
std::vector<Complex> backoff_ramp(std::size_t backoff) {
    std::vector<Complex> ramp(dvb_t_n_fft);
    for (std::size_t i = 0; i < dvb_t_n_fft; ++i) {
        const double angle = 2.0 * std::numbers::pi * static_cast<double>((i * backoff) % dvb_t_n_fft) / dvb_t_n_fft;
        ramp[i] = Complex{static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
    }
    return ramp;
}

// Energies of the reference points nearest by the LLR decisions and of the errors, for EVM.
struct EvmSums {
    double reference = 0.0;
    double error = 0.0;

    void add(Complex cell, std::span<const float> llrs) {
        const std::size_t b = llrs.size();
        unsigned i_index = 0, q_index = 0;
        for (std::size_t k = 0; k < b; k += 2) {
            i_index = (i_index << 1) | (llrs[k] <= 0.0f ? 1u : 0u);
            q_index = (q_index << 1) | (llrs[k + 1] <= 0.0f ? 1u : 0u);
        }
        const Complex ref{waveform::dvb_t_axis_level(b, i_index), waveform::dvb_t_axis_level(b, q_index)};
        const double er = static_cast<double>(cell.re) - ref.re, ei = static_cast<double>(cell.im) - ref.im;
        reference += static_cast<double>(ref.re) * ref.re + static_cast<double>(ref.im) * ref.im;
        error += er * er + ei * ei;
    }
};

struct SymbolOutput {
    // Every value is written by the symbol loop, so the buffer is not cleared first.
    std::unique_ptr<float[]> llr_storage;
    std::span<float> llrs;
    waveform::TpsDecoder tps;
    EvmSums evm;
};

// Every symbol's FFT, TPS bit, equalisation and soft values. Sizes were checked by the caller: the
// frame's samples and the LLR buffer fit.
std::expected<SymbolOutput, DvbTRxError> run_symbols(std::span<const Complex> frame, std::size_t n_symbols,
                                                     std::size_t llr_count, const waveform::DvbTFrameParams& params,
                                                     std::size_t backoff, bool diagnostics) {
    const std::size_t cp = params.cp_len(), period = cp + dvb_t_n_fft;
    const std::size_t b = params.bits_per_cell();
    auto plans = waveform::dvb_t_2k_plans(params.guard);
    auto config = OfdmConfig::from_plan(plans[0], 1201173.0f, 0.0f, 1.0f, params.constellation);
    if (!config) internal_fault("DVB-T phase-0 plan refused");
    waveform::ScatteredGridCycle cycle(params.guard);
    OfdmEqualizer equalizer(*config, EqualizerMode::PilotInterp);
    SymbolFft fft(dvb_t_n_fft, cp);
    fft.set_backoff(backoff);
    const std::vector<Complex> ramp = backoff > 0 ? backoff_ramp(backoff) : std::vector<Complex>{};
    std::vector<Complex> turned(dvb_t_n_fft), equalised(dvb_t_n_fft), cells(dvb_t_data_carriers);
    SymbolOutput out{std::make_unique_for_overwrite<float[]>(llr_count), {}, waveform::TpsDecoder(n_symbols), {}};
    out.llrs = std::span<float>(out.llr_storage.get(), llr_count);

    for (std::size_t l = 0; l < n_symbols; ++l) {
        const auto bins = fft.process_symbol(frame.subspan(l * period));
        if (!bins || bins->size() < dvb_t_n_fft) return std::unexpected(DvbTRxError::TooFewSamples);
        out.tps.push_symbol(*bins);
        std::span<const Complex> raw = *bins;
        if (!ramp.empty()) {
            for (std::size_t i = 0; i < dvb_t_n_fft; ++i) turned[i] = raw[i] * ramp[i];
            raw = turned;
        }
        const std::size_t p = cycle.phase;
        const auto& data_bins = cycle.grids[p].data_bins;
        equalizer.select_pilot_layout(p, cycle.pilots_without_tps[p], data_bins);
        equalizer.process(raw, equalised);
        cycle.phase = (p + 1) % waveform::dvb_t_phases;

        for (std::size_t c = 0; c < dvb_t_data_carriers; ++c) cells[c] = equalised[data_bins[c]];
        const std::span<float> symbol_llrs = out.llrs.subspan(l * dvb_t_data_carriers * b, dvb_t_data_carriers * b);
        if (!waveform::dvb_t_soft_llr_cells(cells, b, symbol_llrs)) internal_fault("DVB-T order");
        if (diagnostics)
            for (std::size_t c = 0; c < dvb_t_data_carriers; ++c) out.evm.add(cells[c], symbol_llrs.subspan(c * b, b));
    }
    return out;
}

bool outcome_valid(const ChainOutcome& outcome) {
    if (outcome.crc_present) return outcome.crc_ok;
    if (outcome.outer_present) return outcome.outer_ok;
    return outcome.inner_converged;
}

std::optional<float> ratio(std::size_t differing, std::size_t total) {
    if (total == 0) return std::nullopt;
    return static_cast<float>(static_cast<double>(differing) / static_cast<double>(total));
}

// How many coded and inner-input bits the decode had to correct, from a re-encoding of
// what it decoded.
void pre_fec_ratios(DvbTRxFrame& frame, const ChainOutcome& outcome, std::span<const float> llrs,
                    const BlockPlan& plan, std::size_t block, const waveform::DvbTChainSettings& chain,
                    CodecCache& cache) {
    const auto stages = encode_chain_stages(std::span<const std::uint8_t>(outcome.payload).first(block), chain.crc,
                                            chain.outer, chain.inner, chain.outer_interleaver, chain.inner_interleaver,
                                            chain.scrambler, fec::ScramblerPosition::BeforeOuter, 0, cache);
    const std::size_t coded = std::min({stages.coded.size(), plan.coded_bits, llrs.size()});
    std::size_t differing = 0;
    for (std::size_t i = 0; i < coded; ++i) differing += (llrs[i] <= 0.0f ? 1u : 0u) != stages.coded[i];
    frame.pre_fec_ber = ratio(differing, coded);
    const std::size_t inner = std::min(outcome.inner_bits_decoded.size(), stages.outer_stage.size());
    differing = 0;
    for (std::size_t i = 0; i < inner; ++i) differing += outcome.inner_bits_decoded[i] != stages.outer_stage[i];
    frame.pre_outer_ratio = ratio(differing, inner);
}

// Energy dispersal off, every packet must open with the sync byte, framing stripped.
std::optional<std::vector<std::uint8_t>> payload_from_packets(std::vector<std::uint8_t> packets,
                                                              std::size_t payload_len) {
    waveform::ts_energy_disperse(packets);
    for (std::size_t i = 0; i < packets.size(); i += waveform::ts_packet_len)
        if (packets[i] != waveform::ts_sync_byte) return std::nullopt;
    auto bytes = waveform::ts_depacketize(packets);
    if (!bytes || bytes->size() < payload_len) return std::nullopt;
    bytes->resize(payload_len);
    return bytes;
}

// The packets carrying payload_len bytes decoded from the leading soft values, back to payload
// bytes; nothing when the chain fails. Fills the frame's chain statistics (and, with diagnostics,
// its pre-decoding ratios).
std::optional<std::vector<std::uint8_t>> decode_payload(DvbTRxFrame& frame, std::span<const float> llrs,
                                                        const waveform::DvbTFrameParams& params, std::size_t n_symbols,
                                                        std::size_t payload_len, bool diagnostics) {
    const std::size_t packets = std::max<std::size_t>((payload_len + waveform::ts_payload_len - 1) / waveform::ts_payload_len, 1);
    CodecCache cache;
    const auto chain = waveform::dvb_t_chain_settings(params);
    // With diagnostics the block is the whole stuffed stream, as the modulator's fill rule sized it.
    std::size_t block = packets * waveform::ts_packet_len;
    if (diagnostics) block = waveform::ts_packet_len * waveform::dvb_t_frame_fill_with(params, packets, n_symbols, cache).packets;

    const BlockPlan plan = block_plan(block, chain.crc, chain.outer, chain.inner, chain.outer_interleaver,
                                      chain.inner_interleaver, cache);
    auto outcome = decode_chain(llrs, plan, chain.crc, chain.outer, chain.inner, chain.outer_interleaver,
                                chain.inner_interleaver, chain.scrambler, fec::ScramblerPosition::BeforeOuter, 0, cache,
                                fec::LdpcDecodeRule{});
    if (!outcome || !outcome_valid(*outcome) || outcome->payload.size() < block) return std::nullopt;
    frame.chain_stats = outcome->outer_corrections;
    frame.outer_ok = outcome->outer_ok;
    if (diagnostics) pre_fec_ratios(frame, *outcome, llrs, plan, block, chain, cache);

    outcome->payload.resize(packets * waveform::ts_packet_len);
    return payload_from_packets(std::move(outcome->payload), payload_len);
}

bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

}  // namespace

std::string_view dvb_t_rx_error_text(DvbTRxError error) {
    switch (error) {
        case DvbTRxError::GiAcquisition: return "guard-interval acquisition failed (buffer too short or no CP lock)";
        case DvbTRxError::TooFewSamples: return "too few samples for the expected frame";
        case DvbTRxError::TpsDecode: return "TPS word failed to decode (BCH uncorrectable)";
        case DvbTRxError::PayloadDecode: break;
    }
    return "payload FEC/CRC decode failed";
}

std::string error_message(const DvbTRxFailure& failure) { return std::string(dvb_t_rx_error_text(failure.error)); }

DvbTFrameDemod DvbTFrameDemod::with_rx_window_backoff(std::size_t backoff) const {
    DvbTFrameDemod copy = *this;
    copy.rx_window_backoff_ = backoff;
    return copy;
}

DvbTFrameDemod DvbTFrameDemod::with_integer_cfo_correction(bool on) const {
    DvbTFrameDemod copy = *this;
    copy.integer_cfo_correction_ = on;
    return copy;
}

DvbTFrameDemod DvbTFrameDemod::with_pre_fec_diagnostics(bool on) const {
    DvbTFrameDemod copy = *this;
    copy.pre_fec_diagnostics_ = on;
    return copy;
}

std::expected<DvbTRxFrame, DvbTRxFailure> DvbTFrameDemod::decode(std::span<const Complex> iq, std::uint64_t n_symbols,
                                                                 std::uint64_t payload_len) const {
    const std::size_t cp = params_.cp_len(), period = cp + dvb_t_n_fft;
    const std::size_t b = params_.bits_per_cell();
    const auto acquired = acquire(iq, cp, integer_cfo_correction_);
    if (!acquired) return fail(DvbTRxError::GiAcquisition);
    const std::size_t t = acquired->sync.timing;

    // Checked sizes: a wrapped product must never size a buffer or pass the length check.
    std::uint64_t frame_len = 0, capacity_bits = 0;
    if (!checked_mul(n_symbols, period, frame_len) || frame_len > acquired->iq.size() - t ||
        !checked_mul(n_symbols, dvb_t_data_carriers * b, capacity_bits))
        return fail(DvbTRxError::TooFewSamples);

    DvbTRxFrame frame;
    frame.timing = t;
    frame.cfo_hz = acquired->sync.cfo_hz +
                   (acquired->integer_bins ? static_cast<float>(*acquired->integer_bins) * integer_cfo_bin_hz : 0.0f);
    frame.gi_metric = acquired->sync.metric;
    frame.integer_cfo_bins = acquired->integer_bins;

    const std::size_t backoff = std::min(rx_window_backoff_, cp);
    auto symbols = run_symbols(acquired->iq.subspan(t), n_symbols, capacity_bits, params_, backoff, pre_fec_diagnostics_);
    if (!symbols) return fail(symbols.error());

    DvbTRxFailure failure;
    failure.timing = t;
    failure.tps_bits.assign(symbols->tps.bits().begin(), symbols->tps.bits().end());
    const auto& word = symbols->tps.word();
    if (word) {
        failure.tps = waveform::tps_word_from_bits(word->bits);
        failure.tps_block = word->block;
        failure.tps_sync_ok = word->sync_ok;
    }
    auto failed = [&](DvbTRxError error) {
        failure.error = error;
        return std::unexpected(std::move(failure));
    };

    if (pre_fec_diagnostics_ && symbols->evm.reference != 0.0)
        frame.evm_db = static_cast<float>(10.0 * std::log10(symbols->evm.error / symbols->evm.reference));
    if (!word) return failed(DvbTRxError::TpsDecode);
    frame.tps = *failure.tps;

    // A payload longer than the frame's capacity cannot be in it.
    if (payload_len > capacity_bits / 8) return failed(DvbTRxError::PayloadDecode);
    auto payload = decode_payload(frame, symbols->llrs, params_, n_symbols, payload_len, pre_fec_diagnostics_);
    if (!payload) return failed(DvbTRxError::PayloadDecode);
    frame.payload = std::move(*payload);
    frame.tps_bits = std::move(failure.tps_bits);
    return frame;
}

}  // namespace kavro
