#include "demodulate/dvb_t_frame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"
#include "demodulate/dvb_t_symbol_stage.hpp"
#include "fec/bit_packing.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/tx_chain.hpp"
#include "fec/conv.hpp"
#include "fec/conv_tables.hpp"
#include "fec/interleaver.hpp"
#include "fec/reed_solomon.hpp"
#include "sync/dvb_t_gi_sync.hpp"
#include "sync/dvb_t_integer_cfo.hpp"
#include "waveform/dvb_t.hpp"
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

    DvbTSymbolStage symbols;
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
    DvbTEvmSums evm;
    const std::size_t backoff = std::min(rx_window_backoff_, cp);
    DvbTEvmSums* const evm_sums = pre_fec_diagnostics_ ? &evm : nullptr;
    if (!work.symbols.run(acquired->iq.subspan(t), n_symbols, backoff, llrs, tps, evm_sums))
        return fail(DvbTRxError::TooFewSamples);

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
