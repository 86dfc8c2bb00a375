#include "demodulate/dvb_t_frame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/checked_math.hpp"
#include "demodulate/dvb_t_symbol_stage.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/rx_chain.hpp"
#include "fec/chain/tx_chain.hpp"
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

// Energy dispersal off, every packet must open with the sync byte, framing stripped.
std::optional<std::vector<std::uint8_t>> payload_from_packets(std::span<std::uint8_t> packets,
                                                              std::size_t payload_len) {
    waveform::ts_energy_disperse(packets);
    for (std::size_t i = 0; i < packets.size(); i += waveform::ts_packet_len)
        if (packets[i] != waveform::ts_sync_byte) return std::nullopt;
    auto bytes = waveform::ts_depacketize(packets);
    if (!bytes || bytes->size() < payload_len) return std::nullopt;
    bytes->resize(payload_len);
    return bytes;
}

// The way from the frame's soft values back to payload bytes: the decoding chain with the DVB-T
// settings, energy dispersal and packet framing, with the chain's decoder, the codec cache and the
// packet buffer kept from one frame to the next.
class PayloadStage {
public:
    explicit PayloadStage(const waveform::DvbTFrameParams& params)
        : params_(params), settings_(waveform::dvb_t_chain_settings(params)) {}

    // The packets carrying payload_len bytes decoded from the leading soft values, back to
    // payload bytes; nothing when the chain fails. Fills the frame's chain statistics (and, with
    // diagnostics, its pre-decoding ratios).
    std::optional<std::vector<std::uint8_t>> decode(DvbTRxFrame& frame, std::span<const float> llrs,
                                                    std::size_t n_symbols, std::size_t payload_len, bool diagnostics) {
        const std::size_t packets =
            std::max<std::size_t>((payload_len + waveform::ts_payload_len - 1) / waveform::ts_payload_len, 1);
        // With diagnostics the block is the whole stuffed stream, as the modulator's fill rule sized it.
        std::size_t block = packets * waveform::ts_packet_len;
        if (diagnostics) {
            const std::size_t stuffed = waveform::dvb_t_frame_fill_with(params_, packets, n_symbols, cache_).packets;
            block = waveform::ts_packet_len * stuffed;
        }

        const fec::BlockPlan plan = fec::block_plan(block, settings_, cache_);
        if (!chain_.decode(llrs, plan, settings_, 0, cache_)) return std::nullopt;
        const fec::ChainOutcome& decoded = chain_.outcome();
        if (!decoded.outer_ok || decoded.payload.size() < block) return std::nullopt;
        frame.chain_stats = decoded.outer_corrections;
        frame.outer_ok = decoded.outer_ok;
        if (diagnostics) {
            const fec::PreDecodingRatios ratios =
                fec::pre_decoding_error_ratios(llrs, plan, settings_, 0, decoded, cache_);
            frame.pre_fec_ber = ratios.channel;
            frame.pre_outer_ratio = ratios.outer;
        }

        const auto packet_bytes = static_cast<std::ptrdiff_t>(packets * waveform::ts_packet_len);
        packets_.assign(decoded.payload.begin(), decoded.payload.begin() + packet_bytes);
        return payload_from_packets(packets_, payload_len);
    }

private:
    waveform::DvbTFrameParams params_;
    fec::ChainSettings settings_;
    fec::ChainDecoder chain_;
    fec::CodecCache cache_;
    std::vector<std::uint8_t> packets_;
};

// What a failed decode keeps once the symbol loop has run.
DvbTRxFailure failure_after_symbols(std::size_t timing, float cfo_hz, const waveform::TpsDecoder& tps) {
    DvbTRxFailure failure;
    failure.timing = timing;
    failure.cfo_hz = cfo_hz;
    failure.tps_bits.assign(tps.bits().begin(), tps.bits().end());
    if (const auto& word = tps.word()) {
        failure.tps = waveform::tps_word_from_bits(word->bits);
        failure.tps_block = word->block;
        failure.tps_sync_ok = word->sync_ok;
    }
    return failure;
}

}  // namespace

struct DvbTFrameDemod::Workspace {
    explicit Workspace(const waveform::DvbTFrameParams& params) : symbols(params), payload(params) {}

    DvbTSymbolStage symbols;
    PayloadStage payload;
    std::vector<float> llrs;  // grows to the largest frame seen
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
    const auto sync = dvb_t_gi_sync(iq, cp, period);
    if (!sync) return fail(DvbTRxError::GiAcquisition);
    const std::size_t t = sync->timing;

    // Checked sizes: a wrapped product must never size a buffer or pass the length check.
    const auto frame_len = checked_mul<std::uint64_t>(n_symbols, period);
    if (!frame_len || *frame_len > iq.size() - t) return fail(DvbTRxError::TooFewSamples);
    const auto capacity_bits = checked_mul<std::uint64_t>(n_symbols, dvb_t_data_carriers * params_.bits_per_cell());
    if (!capacity_bits) return fail(DvbTRxError::TooFewSamples);

    // The offset is removed whole: the fraction the prefixes measure, plus the whole carriers the
    // search finds once that fraction is gone. A whole-carrier shift leaves the prefix correlation
    // as it is, so one guard-interval sync serves both.
    const double fractional_bins = static_cast<double>(sync->cfo_hz) / static_cast<double>(integer_cfo_bin_hz);
    std::optional<std::int32_t> integer_bins;
    if (integer_cfo_correction_) integer_bins = dvb_t_integer_cfo_bins(iq, t, cp, fractional_bins);
    const double offset_bins = fractional_bins + static_cast<double>(integer_bins.value_or(0));

    DvbTRxFrame frame;
    frame.timing = t;
    frame.cfo_hz = sync->cfo_hz + (integer_bins ? static_cast<float>(*integer_bins) * integer_cfo_bin_hz : 0.0f);
    frame.gi_metric = sync->metric;
    frame.integer_cfo_bins = integer_bins;

    if (!workspace_) workspace_ = std::make_unique<Workspace>(params_);
    Workspace& work = *workspace_;
    if (work.llrs.size() < *capacity_bits) work.llrs.resize(*capacity_bits);
    const std::span<float> llrs(work.llrs.data(), *capacity_bits);
    waveform::TpsDecoder tps(n_symbols);
    DvbTEvmSums evm;
    const std::size_t backoff = std::min(rx_window_backoff_, cp);
    DvbTEvmSums* const evm_sums = pre_fec_diagnostics_ ? &evm : nullptr;
    if (!work.symbols.run(iq.subspan(t), n_symbols, backoff, offset_bins, llrs, tps, evm_sums))
        return fail(DvbTRxError::TooFewSamples);

    DvbTRxFailure failure = failure_after_symbols(t, *frame.cfo_hz, tps);
    auto failed = [&](DvbTRxError error) {
        failure.error = error;
        return std::unexpected(std::move(failure));
    };
    if (pre_fec_diagnostics_ && evm.reference != 0.0)
        frame.evm_db = static_cast<float>(10.0 * std::log10(evm.error / evm.reference));
    if (!failure.tps) return failed(DvbTRxError::TpsDecode);
    frame.tps = *failure.tps;

    // A payload longer than the frame's capacity cannot be in it.
    if (payload_len > *capacity_bits / 8) return failed(DvbTRxError::PayloadDecode);
    auto payload = work.payload.decode(frame, llrs, n_symbols, payload_len, pre_fec_diagnostics_);
    if (!payload) return failed(DvbTRxError::PayloadDecode);
    frame.payload = std::move(*payload);
    frame.tps_bits = std::move(failure.tps_bits);
    return frame;
}

}  // namespace kavro
