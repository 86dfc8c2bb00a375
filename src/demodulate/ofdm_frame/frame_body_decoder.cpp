#include "demodulate/ofdm_frame/frame_body_decoder.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/internal_fault.hpp"
#include "multicarrier/ofdm_soft_demod.hpp"

namespace kavro {

namespace {

// σ² is floored so that a noiseless header cannot make the QAM soft values infinite.
constexpr float min_noise_variance = 1e-4f;

std::size_t ceil_div(std::size_t a, std::size_t b) { return a / b + (a % b != 0); }

std::unexpected<BodyFailure> fail(fec::RxError error) { return std::unexpected(BodyFailure(error)); }

// With a CRC the frame stands or falls by it; without, by the outer code; with neither, by the
// inner code.
bool outcome_valid(const fec::ChainOutcome& outcome) {
    if (outcome.crc_present) return outcome.crc_ok;
    if (outcome.outer_present) return outcome.outer_ok;
    return outcome.inner_converged;
}

// QAM soft values are squared-distance differences without noise scaling; the sum-product LDPC
// decoder reads them as log-likelihood ratios, so their scale must be 1/σ². BPSK and QPSK values
// carry a fixed scale that suits the decoder, and the other inner codes do not depend on scale.
bool needs_noise_scaling(const fec::Mcs& entry, const OfdmConfig& cfg) {
    const bool qam = entry.constellation == ConstellationOrder::Qam16 ||
                     entry.constellation == ConstellationOrder::Qam64 ||
                     entry.constellation == ConstellationOrder::Qam256;
    return qam && entry.inner.kind == fec::InnerFec::Kind::Ldpc &&
           cfg.chain_settings().ldpc_rule.kind == fec::LdpcDecodeRule::Kind::SumProduct;
}

// Mean |y - d|² over the header cells, d the BPSK points of the header's own coded bits
// (re-encoded from the header bytes that passed the check, the last symbol's zero fill included).
float header_noise_variance(std::span<const Complex> cells, std::span<const std::uint8_t> coded) {
    if (cells.empty()) return 1.0f;
    double sum = 0.0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Complex ideal = map_bpsk(i < coded.size() ? coded[i] : 0);
        sum += static_cast<double>(norm(cells[i] - ideal));
    }
    const auto variance = static_cast<float>(sum / static_cast<double>(cells.size()));
    return std::isnan(variance) ? 1.0f : std::max(variance, min_noise_variance);
}

std::vector<fec::ChainSettings> ladder_chains(const waveform::FrameLink& link) {
    std::vector<fec::ChainSettings> chains;
    for (const fec::Mcs& entry : link.entries) chains.push_back(waveform::payload_chain_settings(link.cfg, entry));
    return chains;
}

}  // namespace

fec::RxError rx_error(const BodyFailure& failure) {
    if (const auto* error = std::get_if<fec::RxError>(&failure)) return *error;
    return fec::RxError::MalformedHeader;
}

FrameBodyDecoder::FrameBodyDecoder(waveform::FrameLink link)
    : link_(std::move(link)),
      header_chain_(waveform::header_chain_settings(link_.cfg.header_crc())),
      header_plan_(fec::block_plan(waveform::FrameHeader::size, header_chain_, *link_.cache)),
      header_symbols_(ceil_div(header_plan_.coded_bits, link_.cfg.plan().data_carriers.size())),
      payload_chains_(ladder_chains(link_)),
      sections_(link_.cfg) {}

std::expected<HeaderStage, BodyFailure> FrameBodyDecoder::decode_header(std::span<const Complex> body,
                                                                        TrainingBins training_bins) {
    const OfdmConfig& cfg = link_.cfg;
    fec::CodecCache& cache = *link_.cache;
    if (cfg.header_format() != fec::HeaderFormat::Native) return fail(fec::RxError::MalformedHeader);

    HeaderStage stage;
    stage.header_symbols = header_symbols_;
    sections_.set_training(training_bins);
    const auto phase = sections_.demodulate(body, Section{ConstellationOrder::Bpsk, 0, header_symbols_, {}});
    if (!phase) return std::unexpected(phase.error());
    stage.phase = *phase;

    if (const auto decoded = chain_.decode(sections_.llrs(), header_plan_, header_chain_, 0, cache); !decoded)
        return fail(decoded.error());
    const fec::ChainOutcome& outcome = chain_.outcome();
    if (!outcome_valid(outcome)) return fail(fec::RxError::HeaderCrcMismatch);

    const std::optional<waveform::FrameHeader> header = waveform::FrameHeader::parse(outcome.payload);
    if (!header || header->payload_len > waveform::max_frame_payload_bytes || header->mcs_index >= link_.entries.size())
        return fail(fec::RxError::MalformedHeader);
    stage.header = *header;
    stage.entry = link_.entries[header->mcs_index];

    const std::size_t d = cfg.plan().data_carriers.size();
    stage.payload_plan = fec::block_plan(header->payload_len, payload_chains_[header->mcs_index], cache);
    stage.payload_symbols = ceil_div(stage.payload_plan.coded_bits, d * bits_per_cell(stage.entry.constellation));
    stage.body_samples =
        static_cast<std::uint64_t>(cfg.samples_per_ofdm_symbol()) * (stage.header_symbols + stage.payload_symbols);

    if (needs_noise_scaling(stage.entry, cfg)) {
        const std::vector<std::uint8_t> coded = waveform::encode_header(outcome.payload, cfg.header_crc(), cache);
        stage.noise_variance = header_noise_variance(sections_.cells(), coded);
    }
    return stage;
}

std::expected<RxFrame, BodyFailure> FrameBodyDecoder::decode_payload(const HeaderStage& stage,
                                                                     std::span<const Complex> body,
                                                                     TrainingBins training_bins) {
    const ConstellationOrder constellation = stage.entry.constellation;
    sections_.set_training(training_bins);
    // The header's phase line, carried forward to the first payload symbol.
    PhaseLine expected;
    if (stage.phase) expected = PhaseLine{stage.phase->at(stage.header_symbols), stage.phase->slope};
    const Section section{constellation, stage.header_symbols, stage.payload_symbols, expected};
    if (const auto phase = sections_.demodulate(body, section); !phase) return std::unexpected(phase.error());

    const std::span<float> llrs = sections_.llrs();
    bits_.resize(llrs.size());
    hard_decisions(llrs, bits_);
    RxFrame frame;
    frame.evm_db = evm_db(constellation, sections_.cells(), bits_, stage.payload_symbols);
    if (needs_noise_scaling(stage.entry, link_.cfg)) {
        const float scale = 1.0f / stage.noise_variance;
        for (float& llr : llrs) llr = llr * scale;
    }

    const std::uint32_t seed = stage.header.per_frame_seed;
    const fec::ChainSettings& chain = payload_chains_[stage.header.mcs_index];
    fec::CodecCache& cache = *link_.cache;
    if (const auto decoded = chain_.decode(llrs, stage.payload_plan, chain, seed, cache); !decoded)
        return fail(decoded.error());
    const fec::ChainOutcome& outcome = chain_.outcome();
    if (!outcome_valid(outcome)) return fail(fec::RxError::PayloadCrcMismatch);
    if (pre_fec_diagnostics_) {
        const fec::PreDecodingRatios ratios =
            fec::pre_decoding_error_ratios(llrs, stage.payload_plan, chain, seed, outcome, cache);
        frame.pre_fec_channel_error_ratio = ratios.channel;
        frame.pre_fec_outer_error_ratio = ratios.outer;
    }

    const std::size_t kept = std::min<std::size_t>(outcome.payload.size(), stage.header.payload_len);
    frame.payload.assign(outcome.payload.begin(), outcome.payload.begin() + static_cast<std::ptrdiff_t>(kept));
    frame.sequence_num = stage.header.sequence_num;
    frame.mcs_index = stage.header.mcs_index;
    frame.flags = stage.header.flags;
    frame.consumed_samples = stage.body_samples;
    frame.inner_converged = outcome.inner_converged;
    frame.outer_ok = outcome.outer_ok;
    return frame;
}

std::expected<RxFrame, BodyFailure> FrameBodyDecoder::decode(std::span<const Complex> body,
                                                             TrainingBins training_bins) {
    const auto stage = decode_header(body, training_bins);
    if (!stage) return std::unexpected(stage.error());
    return decode_payload(*stage, body, training_bins);
}

std::expected<OfdmFrameDemod, waveform::FrameLinkError> OfdmFrameDemod::create(const OfdmConfig& cfg,
                                                                               std::span<const fec::Mcs> entries,
                                                                               std::shared_ptr<fec::CodecCache> cache) {
    auto link = waveform::FrameLink::create(cfg, entries, 0, 0, std::move(cache));
    if (!link) return std::unexpected(link.error());
    return OfdmFrameDemod(std::move(*link));
}

std::expected<waveform::FramePacket, fec::RxError> OfdmFrameDemod::decode(std::span<const Complex> iq) {
    try {
        auto frame = body_.decode(iq, std::nullopt);
        if (!frame) return std::unexpected(rx_error(frame.error()));
        return std::move(*frame).packet();
    } catch (const InternalFault&) {
        // A fault inside one attempt fails that frame, not the caller's program.
        return std::unexpected(fec::RxError::MalformedHeader);
    }
}

}  // namespace kavro
