#include "demodulate/dvb_t_frame.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>

#include "core/internal_fault.hpp"
#include "demodulate/ofdm_frame/rx_chain.hpp"
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

// Scattered pilots of one symbol lie 12 carriers apart.
constexpr std::size_t pilot_lag = 12;

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

// One scattered-pilot phase indexed by carrier number rather than FFT bin, so that the
// equaliser interpolates in frequency order, across the carrier at DC as between any other two.
struct CarrierLayout {
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

std::size_t carrier_of_bin(std::size_t bin) { return (bin + waveform::dvb_t_centre_carrier) % dvb_t_n_fft; }

CarrierLayout carrier_layout(const waveform::ScatteredGridCycle& cycle, std::size_t phase) {
    CarrierLayout layout;
    std::array<float, waveform::dvb_t_active_carriers> value{};  // 0 where there is no pilot
    for (const GridPilot& pilot : cycle.pilots_without_tps[phase]) {
        const std::size_t k = carrier_of_bin(pilot.bin);
        layout.pilots.push_back({k, pilot.value});
        value[k] = pilot.value.re;
    }
    for (const std::size_t bin : cycle.grids[phase].data_bins) layout.data.push_back(carrier_of_bin(bin));
    for (std::size_t k = 0; k + pilot_lag < value.size(); ++k)
        if (value[k] != 0.0f && value[k + pilot_lag] != 0.0f)
            layout.pairs.push_back({waveform::dvb_t_carrier_bin(k), waveform::dvb_t_carrier_bin(k + pilot_lag),
                                    value[k] * value[k + pilot_lag] > 0.0f ? 1.0f : -1.0f});
    return layout;
}

// The delay, in samples, about which the symbol's channel is centred: with H(k)·H*(k - 12)
// summed over the pilot pairs, each path of delay τ adds its power at the angle -2π·12·τ/2048, so
// the sum's angle gives the power-weighted centre of the paths (unambiguous within ±85 samples).
// The known window back-off is taken out first and added back; the back-off alone when the sum
// is 0 or not a number.
double delay_centre(std::span<const Complex> raw, std::span<const CarrierLayout::Pair> pairs, std::size_t backoff) {
    double re = 0.0, im = 0.0;
    for (const auto& pair : pairs) {
        const Complex a = raw[pair.high_bin], b = raw[pair.low_bin];
        re += pair.sign * (static_cast<double>(a.re) * b.re + static_cast<double>(a.im) * b.im);
        im += pair.sign * (static_cast<double>(a.im) * b.re - static_cast<double>(a.re) * b.im);
    }
    const double lag_turn = 2.0 * std::numbers::pi * pilot_lag / dvb_t_n_fft;
    const double unwound = std::atan2(im, re) + lag_turn * static_cast<double>(backoff);
    const double residual = std::remainder(unwound, 2.0 * std::numbers::pi);
    if (!std::isfinite(residual) || (re == 0.0 && im == 0.0)) return static_cast<double>(backoff);
    return static_cast<double>(backoff) - residual / lag_turn;
}

// turned[k] = raw[bin of k]·e^(+j2π·(k - 852)·delay/2048) for every carrier k: the bins in carrier
// order with the channel's delay centre (window back-off included) moved to 0, which keeps the
// phase ramp between pilots as small as the paths allow.
void turn_to_carriers(std::span<const Complex> raw, double delay, std::span<Complex> turned) {
    const double step = 2.0 * std::numbers::pi * delay / dvb_t_n_fft;
    const double start = -static_cast<double>(waveform::dvb_t_centre_carrier) * step;
    const double w_re = std::cos(step), w_im = std::sin(step);
    double z_re = std::cos(start), z_im = std::sin(start);
    for (std::size_t k = 0; k < waveform::dvb_t_active_carriers; ++k) {
        const Complex x = raw[waveform::dvb_t_carrier_bin(k)];
        turned[k] = Complex{static_cast<float>(x.re * z_re - x.im * z_im), static_cast<float>(x.re * z_im + x.im * z_re)};
        const double next_re = z_re * w_re - z_im * w_im;
        z_im = z_re * w_im + z_im * w_re;
        z_re = next_re;
    }
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

// Each data carrier's estimated |H|² over the mean of them all in this symbol, the weight of its
// cell's soft values: a cell equalised by a weak estimate is mostly noise and must not vote as
// loudly as the others. A carrier the equaliser zeroes (estimate below its floor, or not finite)
// weighs 0.
void channel_weights(std::span<const Complex> channel, std::span<const std::size_t> data,
                     std::span<float> weights) {
    double total = 0.0;
    for (std::size_t c = 0; c < data.size(); ++c) {
        const float power = norm(channel[data[c]]);
        const bool usable = power >= OfdmEqualizer::min_channel_power && power <= std::numeric_limits<float>::max();
        weights[c] = usable ? power : 0.0f;
        total += weights[c];
    }
    const double mean = total / static_cast<double>(data.size());
    const float scale = mean > 0.0 && std::isfinite(mean) ? static_cast<float>(1.0 / mean) : 0.0f;
    for (std::size_t c = 0; c < data.size(); ++c) weights[c] = weights[c] * scale;
}

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
    const waveform::ScatteredGridCycle cycle(params.guard);
    std::array<CarrierLayout, waveform::dvb_t_phases> layouts;
    for (std::size_t p = 0; p < waveform::dvb_t_phases; ++p) layouts[p] = carrier_layout(cycle, p);
    OfdmEqualizer equalizer(*config, EqualizerMode::PilotInterp);
    SymbolFft fft(dvb_t_n_fft, cp);
    fft.set_backoff(backoff);
    std::vector<Complex> turned(dvb_t_n_fft), equalised(dvb_t_n_fft), cells(dvb_t_data_carriers);
    std::vector<float> weights(dvb_t_data_carriers);
    SymbolOutput out{std::make_unique_for_overwrite<float[]>(llr_count), {}, waveform::TpsDecoder(n_symbols), {}};
    out.llrs = std::span<float>(out.llr_storage.get(), llr_count);

    for (std::size_t l = 0; l < n_symbols; ++l) {
        const auto bins = fft.process_symbol(frame.subspan(l * period));
        if (!bins || bins->size() < dvb_t_n_fft) return std::unexpected(DvbTRxError::TooFewSamples);
        out.tps.push_symbol(*bins);
        const std::size_t p = l % waveform::dvb_t_phases;
        const CarrierLayout& layout = layouts[p];
        turn_to_carriers(*bins, delay_centre(*bins, layout.pairs, backoff), turned);
        equalizer.select_pilot_layout(p, layout.pilots, layout.data);
        equalizer.process(turned, equalised);

        for (std::size_t c = 0; c < dvb_t_data_carriers; ++c) cells[c] = equalised[layout.data[c]];
        const std::span<float> symbol_llrs = out.llrs.subspan(l * dvb_t_data_carriers * b, dvb_t_data_carriers * b);
        if (diagnostics) {
            if (!waveform::dvb_t_soft_llr_cells(cells, b, symbol_llrs)) internal_fault("DVB-T order");
            for (std::size_t c = 0; c < dvb_t_data_carriers; ++c) out.evm.add(cells[c], symbol_llrs.subspan(c * b, b));
        }
        channel_weights(equalizer.channel_estimate(), layout.data, weights);
        if (!waveform::dvb_t_soft_llr_weighted_cells(cells, weights, b, symbol_llrs)) internal_fault("DVB-T order");
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
    return frame;
}

}  // namespace kavro
