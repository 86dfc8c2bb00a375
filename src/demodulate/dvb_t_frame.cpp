#include "demodulate/dvb_t_frame.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/tx_chain.hpp"
#include "fec/conv.hpp"
#include "fec/conv_tables.hpp"
#include "fec/interleaver.hpp"
#include "fec/reed_solomon.hpp"
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
// phase ramp between pilots as small as the paths allow. The turn runs as eight phasors a step
// apart, each advanced by eight steps at a time in single precision (a drift of about 1e-5 over
// the symbol).
void turn_to_carriers(std::span<const Complex> raw, double delay, std::span<Complex> turned) {
    constexpr std::size_t lanes = 8;
    const double step = 2.0 * std::numbers::pi * delay / dvb_t_n_fft;
    float z_re[lanes], z_im[lanes];
    for (std::size_t l = 0; l < lanes; ++l) {
        const double angle = (static_cast<double>(l) - static_cast<double>(waveform::dvb_t_centre_carrier)) * step;
        z_re[l] = static_cast<float>(std::cos(angle));
        z_im[l] = static_cast<float>(std::sin(angle));
    }
    const auto w_re = static_cast<float>(std::cos(lanes * step)), w_im = static_cast<float>(std::sin(lanes * step));
    constexpr std::size_t carriers = waveform::dvb_t_active_carriers;
    for (std::size_t k = 0; k < carriers; k += lanes) {
        for (std::size_t l = 0; l < lanes && k + l < carriers; ++l) {
            const Complex x = raw[waveform::dvb_t_carrier_bin(k + l)];
            turned[k + l] = Complex{x.re * z_re[l] - x.im * z_im[l], x.re * z_im[l] + x.im * z_re[l]};
        }
        for (std::size_t l = 0; l < lanes; ++l) {
            const float re = z_re[l] * w_re - z_im[l] * w_im;
            z_im[l] = z_re[l] * w_im + z_im[l] * w_re;
            z_re[l] = re;
        }
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

// The data cells of one symbol equalised as the equaliser would (0 where the estimate is below
// its floor), and their weights: each carrier's estimated |H|² over the mean of them all, so that
// a cell equalised by a weak estimate, mostly noise, does not vote as loudly as the others. A
// carrier the equaliser zeroes (estimate below its floor, or not finite) weighs 0.
void equalise_cells(std::span<const Complex> turned, std::span<const Complex> channel,
                    std::span<const std::size_t> data, std::span<Complex> cells, std::span<float> weights) {
    double total = 0.0;
    for (std::size_t c = 0; c < data.size(); ++c) {
        const Complex h = channel[data[c]];
        cells[c] = turned[data[c]] * OfdmEqualizer::inverse_or_zero(h);
        const float power = norm(h);
        const bool usable = power >= OfdmEqualizer::min_channel_power && power <= std::numeric_limits<float>::max();
        weights[c] = usable ? power : 0.0f;
        total += weights[c];
    }
    const double mean = total / static_cast<double>(data.size());
    const float scale = mean > 0.0 && std::isfinite(mean) ? static_cast<float>(1.0 / mean) : 0.0f;
    for (std::size_t c = 0; c < data.size(); ++c) weights[c] = weights[c] * scale;
}

OfdmEqualizer pilot_equalizer(const waveform::DvbTFrameParams& params) {
    auto config = OfdmConfig::from_plan(waveform::dvb_t_2k_plans(params.guard)[0], waveform::dvb_t_sample_rate_hz,
                                        0.0f, 1.0f, params.constellation);
    if (!config) internal_fault("DVB-T phase-0 plan refused");
    return OfdmEqualizer(*config, EqualizerMode::PilotInterp);
}

// The per-symbol machinery of one guard interval and constellation, built once and reused by
// every frame: carrier layouts, equaliser (its layouts built at the first use of each phase; it
// estimates the channel, the cells are equalised here, the data carriers only), FFT stage and
// the buffers of one symbol.
class SymbolStage {
public:
    explicit SymbolStage(const waveform::DvbTFrameParams& params)
        : equalizer_(pilot_equalizer(params)),
          fft_(dvb_t_n_fft, params.cp_len()),
          turned_(dvb_t_n_fft),
          cells_(dvb_t_data_carriers),
          weights_(dvb_t_data_carriers),
          bits_per_cell_(params.bits_per_cell()) {
        const waveform::ScatteredGridCycle cycle(params.guard);
        for (std::size_t p = 0; p < waveform::dvb_t_phases; ++p) layouts_[p] = carrier_layout(cycle, p);
    }

    // Every symbol's FFT, TPS bit, equalisation and soft values, the first symbol taken as the
    // frame's symbol 0. Sizes were checked by the caller: the frame's samples and the soft values
    // (n_symbols · 1512 · bits per cell, each written) fit. With diagnostics, also the EVM sums.
    std::expected<void, DvbTRxError> run(std::span<const Complex> frame, std::size_t n_symbols, std::size_t backoff,
                                         std::span<float> llrs, waveform::TpsDecoder& tps, EvmSums* evm) {
        const std::size_t b = bits_per_cell_, period = fft_.cp_len() + dvb_t_n_fft;
        fft_.set_backoff(backoff);
        for (std::size_t l = 0; l < n_symbols; ++l) {
            const auto bins = fft_.process_symbol(frame.subspan(l * period));
            if (!bins || bins->size() < dvb_t_n_fft) return std::unexpected(DvbTRxError::TooFewSamples);
            tps.push_symbol(*bins);
            const std::size_t p = l % waveform::dvb_t_phases;
            const CarrierLayout& layout = layouts_[p];
            turn_to_carriers(*bins, delay_centre(*bins, layout.pairs, backoff), turned_);
            equalizer_.select_pilot_layout(p, layout.pilots, layout.data);
            equalizer_.estimate(turned_);
            equalise_cells(turned_, equalizer_.channel_estimate(), layout.data, cells_, weights_);
            const std::span<float> symbol_llrs = llrs.subspan(l * dvb_t_data_carriers * b, dvb_t_data_carriers * b);
            if (evm != nullptr) {
                if (!waveform::dvb_t_soft_llr_cells(cells_, b, symbol_llrs)) internal_fault("DVB-T order");
                for (std::size_t c = 0; c < dvb_t_data_carriers; ++c) evm->add(cells_[c], symbol_llrs.subspan(c * b, b));
            }
            if (!waveform::dvb_t_soft_llr_weighted_cells(cells_, weights_, b, symbol_llrs)) internal_fault("DVB-T order");
        }
        return {};
    }

private:
    std::array<CarrierLayout, waveform::dvb_t_phases> layouts_;
    OfdmEqualizer equalizer_;
    SymbolFft fft_;
    std::vector<Complex> turned_, cells_;  // turned_ stays 0 beyond the 1705 carriers
    std::vector<float> weights_;
    std::size_t bits_per_cell_;
};

std::optional<float> ratio(std::size_t differing, std::size_t total) {
    if (total == 0) return std::nullopt;
    return static_cast<float>(static_cast<double>(differing) / static_cast<double>(total));
}

// What the decoding chain gives back of one block.
struct DecodedBlock {
    std::vector<std::uint8_t> bytes;  // the block's bytes, corrected or as received
    std::uint32_t corrections = 0;    // Reed-Solomon corrections over the words that decoded
    bool outer_ok = true;             // every word decoded and none was cut short
};

// The frame link's decoding chain for the DVB-T settings alone (punctured K = 7 convolutional
// code, 12 x 17 byte interleaver, Reed-Solomon 204/188; no CRC, scrambler or inner-stage
// interleaver), giving what decode_chain gives for them, with the Viterbi decoder and the
// frame-sized buffers kept from one frame to the next.
class DvbTChain {
public:
    explicit DvbTChain(const waveform::DvbTFrameParams& params) : settings_(waveform::dvb_t_chain_settings(params)) {
        const auto& s = settings_;
        if (s.crc != fec::CrcKind::None || s.outer.kind != fec::OuterFec::Kind::ReedSolomon ||
            s.inner.kind != fec::InnerFec::Kind::ConvK7 ||
            s.outer_interleaver.kind != fec::InterleaverKind::Kind::Convolutional ||
            s.inner_interleaver.kind != fec::InterleaverKind::Kind::None ||
            s.scrambler.kind != fec::ScramblerKind::Kind::None)
            internal_fault("DVB-T chain settings");
    }

    const waveform::DvbTChainSettings& settings() const { return settings_; }

    // The plan's framed bytes decoded from the leading soft values (missing ones count as
    // erased); nothing when fewer bytes than that remain after the outer code.
    std::optional<DecodedBlock> decode(std::span<const float> llrs, const BlockPlan& plan, CodecCache& cache) {
        inner_decode(llrs.first(std::min({llrs.size(), plan.coded_bits, plan.inner_bits})), plan.outer_stage_bits);
        const auto decided = std::span<const std::uint8_t>(decided_).first(std::min(decided_.size(), plan.outer_stage_bits));
        DecodedBlock block;
        block.bytes = fec::conv_deinterleave_bytes(fec::pack_bits_padded(decided), settings_.outer_interleaver.branches,
                                                   settings_.outer_interleaver.depth);
        if (block.bytes.size() > plan.outer_bits / 8) block.bytes.resize(plan.outer_bits / 8);
        outer_decode(block, *cache.rs(settings_.outer.n, settings_.outer.n_parity));
        if (block.bytes.size() < plan.framed_bytes) return std::nullopt;
        block.bytes.resize(plan.framed_bytes);
        return block;
    }

    // The last decode's inner decisions, tail included.
    std::span<const std::uint8_t> inner_bits() const { return decided_; }

private:
    // Depunctured into the rate-1/2 mother stream (punctured slots and missing values 0), then
    // the Viterbi decoder.
    void inner_decode(std::span<const float> soft, std::size_t message_bits) {
        const std::size_t steps = message_bits + fec::conv_constraint_length(fec::ConvKind::K7) - 1;
        mother_.resize(2 * steps);
        switch (settings_.inner.rate) {
            case fec::PunctureRate::R12: depuncture<fec::PunctureRate::R12>(soft, steps); break;
            case fec::PunctureRate::R23: depuncture<fec::PunctureRate::R23>(soft, steps); break;
            case fec::PunctureRate::R34: depuncture<fec::PunctureRate::R34>(soft, steps); break;
            case fec::PunctureRate::R56: depuncture<fec::PunctureRate::R56>(soft, steps); break;
            case fec::PunctureRate::R78: depuncture<fec::PunctureRate::R78>(soft, steps); break;
        }
        decided_.resize(steps);
        viterbi_.decode(mother_, decided_);
    }

    // Whole puncturing periods while their values last, then slot by slot.
    template <fec::PunctureRate Rate>
    void depuncture(std::span<const float> soft, std::size_t steps) {
        static constexpr fec::PuncturePattern pattern = fec::kPuncturePatterns[static_cast<std::size_t>(Rate)];
        static constexpr std::size_t sent = [] {
            std::size_t n = 0;
            for (std::size_t p = 0; p < pattern.period; ++p) n += pattern.x[p] + pattern.y[p];
            return n;
        }();
        float* out = mother_.data();
        const float* in = soft.data();
        std::size_t i = 0, next = 0;
        for (; i + pattern.period <= steps && next + sent <= soft.size(); i += pattern.period) {
#pragma GCC unroll 7
            for (std::size_t p = 0; p < pattern.period; ++p) {
                out[2 * (i + p)] = pattern.x[p] ? in[next++] : 0.0f;
                out[2 * (i + p) + 1] = pattern.y[p] ? in[next++] : 0.0f;
            }
        }
        for (std::size_t p = 0; i < steps; ++i) {
            out[2 * i] = pattern.x[p] && next < soft.size() ? in[next++] : 0.0f;
            out[2 * i + 1] = pattern.y[p] && next < soft.size() ? in[next++] : 0.0f;
            if (++p == pattern.period) p = 0;
        }
    }

    // Every whole word corrected in place and its message moved down; a trailing partial word is
    // dropped.
    static void outer_decode(DecodedBlock& block, const fec::ReedSolomon& code) {
        const std::size_t n = code.n(), k = code.k(), words = block.bytes.size() / n;
        if (block.bytes.size() % n != 0) block.outer_ok = false;
        std::uint64_t corrections = 0;
        for (std::size_t w = 0; w < words; ++w) {
            std::uint8_t* word = block.bytes.data() + w * n;
            const auto decoded = code.decode_in_place(std::span<std::uint8_t>(word, n));
            if (decoded) corrections += *decoded;
            else block.outer_ok = false;
            std::memmove(block.bytes.data() + w * k, word, k);
        }
        block.bytes.resize(words * k);
        block.corrections = static_cast<std::uint32_t>(std::min<std::uint64_t>(corrections, UINT32_MAX));
    }

    waveform::DvbTChainSettings settings_;
    fec::ViterbiDecoder viterbi_{fec::ConvKind::K7};
    std::vector<float> mother_;
    std::vector<std::uint8_t> decided_;
};

// How many coded and inner-input bits the decode had to correct, from a re-encoding of
// what it decoded.
void pre_fec_ratios(DvbTRxFrame& frame, std::span<const std::uint8_t> decoded, std::span<const std::uint8_t> inner_bits,
                    std::span<const float> llrs, const BlockPlan& plan, const waveform::DvbTChainSettings& chain,
                    CodecCache& cache) {
    const auto stages = encode_chain_stages(decoded, chain.crc, chain.outer, chain.inner, chain.outer_interleaver,
                                            chain.inner_interleaver, chain.scrambler, fec::ScramblerPosition::BeforeOuter,
                                            0, cache);
    const std::size_t coded = std::min({stages.coded.size(), plan.coded_bits, llrs.size()});
    std::size_t differing = 0;
    for (std::size_t i = 0; i < coded; ++i) differing += (llrs[i] <= 0.0f ? 1u : 0u) != stages.coded[i];
    frame.pre_fec_ber = ratio(differing, coded);
    const std::size_t inner = std::min(inner_bits.size(), stages.outer_stage.size());
    differing = 0;
    for (std::size_t i = 0; i < inner; ++i) differing += inner_bits[i] != stages.outer_stage[i];
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
                                                        std::size_t payload_len, bool diagnostics, DvbTChain& chain,
                                                        CodecCache& cache) {
    const std::size_t packets = std::max<std::size_t>((payload_len + waveform::ts_payload_len - 1) / waveform::ts_payload_len, 1);
    const auto& s = chain.settings();
    // With diagnostics the block is the whole stuffed stream, as the modulator's fill rule sized it.
    std::size_t block = packets * waveform::ts_packet_len;
    if (diagnostics) block = waveform::ts_packet_len * waveform::dvb_t_frame_fill_with(params, packets, n_symbols, cache).packets;

    const BlockPlan plan = block_plan(block, s.crc, s.outer, s.inner, s.outer_interleaver, s.inner_interleaver, cache);
    auto decoded = chain.decode(llrs, plan, cache);
    if (!decoded || !decoded->outer_ok || decoded->bytes.size() < block) return std::nullopt;
    frame.chain_stats = decoded->corrections;
    frame.outer_ok = decoded->outer_ok;
    if (diagnostics) pre_fec_ratios(frame, decoded->bytes, chain.inner_bits(), llrs, plan, s, cache);

    decoded->bytes.resize(packets * waveform::ts_packet_len);
    return payload_from_packets(std::move(decoded->bytes), payload_len);
}

}  // namespace

struct DvbTFrameDemod::Workspace {
    explicit Workspace(const waveform::DvbTFrameParams& params) : symbols(params), chain(params) {}

    SymbolStage symbols;
    DvbTChain chain;
    std::vector<float> llrs;  // grows to the largest frame seen
    CodecCache cache;
};

DvbTFrameDemod::DvbTFrameDemod(const waveform::DvbTFrameParams& params) : params_(params) {}

DvbTFrameDemod::DvbTFrameDemod(const DvbTFrameDemod& other)
    : params_(other.params_),
      rx_window_backoff_(other.rx_window_backoff_),
      integer_cfo_correction_(other.integer_cfo_correction_),
      pre_fec_diagnostics_(other.pre_fec_diagnostics_) {}

DvbTFrameDemod& DvbTFrameDemod::operator=(const DvbTFrameDemod& other) {
    if (this != &other) *this = DvbTFrameDemod(other);
    return *this;
}

DvbTFrameDemod::DvbTFrameDemod(DvbTFrameDemod&&) noexcept = default;
DvbTFrameDemod& DvbTFrameDemod::operator=(DvbTFrameDemod&&) noexcept = default;
DvbTFrameDemod::~DvbTFrameDemod() = default;

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
                                                                 std::uint64_t payload_len) {
    const std::size_t cp = params_.cp_len(), period = cp + dvb_t_n_fft;
    const std::size_t b = params_.bits_per_cell();
    const auto acquired = acquire(iq, cp, integer_cfo_correction_);
    if (!acquired) return fail(DvbTRxError::GiAcquisition);
    const std::size_t t = acquired->sync.timing;

    // Checked sizes: a wrapped product must never size a buffer or pass the length check.
    const auto frame_len = checked_mul<std::uint64_t>(n_symbols, period);
    if (!frame_len || *frame_len > acquired->iq.size() - t) return fail(DvbTRxError::TooFewSamples);
    const auto capacity_bits = checked_mul<std::uint64_t>(n_symbols, dvb_t_data_carriers * b);
    if (!capacity_bits) return fail(DvbTRxError::TooFewSamples);

    DvbTRxFrame frame;
    frame.timing = t;
    frame.cfo_hz = acquired->sync.cfo_hz +
                   (acquired->integer_bins ? static_cast<float>(*acquired->integer_bins) * integer_cfo_bin_hz : 0.0f);
    frame.gi_metric = acquired->sync.metric;
    frame.integer_cfo_bins = acquired->integer_bins;

    if (!workspace_) workspace_ = std::make_unique<Workspace>(params_);
    Workspace& work = *workspace_;
    if (work.llrs.size() < *capacity_bits) work.llrs.resize(*capacity_bits);
    const std::span<float> llrs(work.llrs.data(), *capacity_bits);
    waveform::TpsDecoder tps(n_symbols);
    EvmSums evm;
    const std::size_t backoff = std::min(rx_window_backoff_, cp);
    const auto ran = work.symbols.run(acquired->iq.subspan(t), n_symbols, backoff, llrs, tps,
                                      pre_fec_diagnostics_ ? &evm : nullptr);
    if (!ran) return fail(ran.error());

    DvbTRxFailure failure;
    failure.timing = t;
    failure.tps_bits.assign(tps.bits().begin(), tps.bits().end());
    const auto& word = tps.word();
    if (word) {
        failure.tps = waveform::tps_word_from_bits(word->bits);
        failure.tps_block = word->block;
        failure.tps_sync_ok = word->sync_ok;
    }
    auto failed = [&](DvbTRxError error) {
        failure.error = error;
        return std::unexpected(std::move(failure));
    };

    if (pre_fec_diagnostics_ && evm.reference != 0.0)
        frame.evm_db = static_cast<float>(10.0 * std::log10(evm.error / evm.reference));
    if (!word) return failed(DvbTRxError::TpsDecode);
    frame.tps = *failure.tps;

    // A payload longer than the frame's capacity cannot be in it.
    if (payload_len > *capacity_bits / 8) return failed(DvbTRxError::PayloadDecode);
    auto payload =
        decode_payload(frame, llrs, params_, n_symbols, payload_len, pre_fec_diagnostics_, work.chain, work.cache);
    if (!payload) return failed(DvbTRxError::PayloadDecode);
    frame.payload = std::move(*payload);
    frame.tps_bits = std::move(failure.tps_bits);
    return frame;
}

}  // namespace kavro
