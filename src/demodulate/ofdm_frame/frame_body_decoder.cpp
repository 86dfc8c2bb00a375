#include "demodulate/ofdm_frame/frame_body_decoder.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/internal_fault.hpp"
#include "fec/chain/rx_chain.hpp"
#include "multicarrier/carrier_grid.hpp"
#include "multicarrier/fft_block.hpp"
#include "multicarrier/ofdm_soft_demod.hpp"

namespace kavro {

namespace {

// σ² is floored so that a noiseless header cannot make the QAM soft values infinite.
constexpr float min_noise_variance = 1e-4f;

// Phase tracking needs enough symbols for its line fit to be worth more than its noise.
constexpr std::size_t min_tracked_symbols = 4;

std::size_t ceil_div(std::size_t a, std::size_t b) { return a / b + (a % b != 0); }

// With a CRC the frame stands or falls by it; without, by the outer code; with neither, by the
// inner code.
bool outcome_valid(const ChainOutcome& outcome) {
    if (outcome.crc_present) return outcome.crc_ok;
    if (outcome.outer_present) return outcome.outer_ok;
    return outcome.inner_converged;
}

// QAM soft values are squared-distance differences without noise scaling; the sum-product LDPC
// decoder reads them as log-likelihood ratios, so their scale must be 1/σ². BPSK and QPSK values
// carry a fixed scale that suits the decoder, and the other inner codes do not depend on scale.
bool needs_noise_scaling(const Mcs& entry, const OfdmConfig& cfg) {
    const bool qam = entry.constellation == ConstellationOrder::Qam16 ||
                     entry.constellation == ConstellationOrder::Qam64 ||
                     entry.constellation == ConstellationOrder::Qam256;
    return qam && entry.inner.kind == fec::InnerFec::Kind::Ldpc &&
           cfg.ldpc_decode_rule().kind == fec::LdpcDecodeRule::Kind::SumProduct;
}

Complex unit_phasor(float angle) {
    Complex p;
    ::sincosf(angle, &p.im, &p.re);
    return p;
}

// Hard decisions of soft values: bit 1 where the value is 0 or below (a NaN decides 0).
void decide(std::span<const float> llrs, std::uint8_t* bits) {
    for (std::size_t i = 0; i < llrs.size(); ++i) bits[i] = llrs[i] <= 0.0f ? 1 : 0;
}

// Common-phase tracking over the kept cells of `count` symbols of `d` cells: a decision-directed
// loop, started on the expected line, measures each symbol's phase; then every symbol is
// derotated by a least-squares line through those phases, which is returned.
std::optional<PhaseLine> track_common_phase(ConstellationOrder constellation, std::span<Complex> kept,
                                            std::size_t count, std::size_t d, PhaseLine expected) {
    const unsigned k = bits_per_cell(constellation);
    std::vector<Complex> z(d), ideal(d);
    std::vector<float> llrs(d * k);
    std::vector<std::uint8_t> bits(d * k);
    std::vector<float> phi(count);

    float theta = expected.intercept;
    float rate = expected.slope;
    for (std::size_t s = 0; s < count; ++s) {
        const Complex derotate = conj(unit_phasor(theta));
        const Complex* y = kept.data() + s * d;
        for (std::size_t i = 0; i < d; ++i) z[i] = y[i] * derotate;
        soft_demap_cells(constellation, z, llrs);
        decide(llrs, bits.data());
        map_cells(constellation, bits, ideal);
        Complex p{};
        for (std::size_t i = 0; i < d; ++i) p = p + z[i] * conj(ideal[i]);
        const float error = (p.re == 0.0f && p.im == 0.0f) ? 0.0f : std::atan2(p.im, p.re);
        phi[s] = theta + error;
        theta = theta + rate + 0.5f * error;
        rate = rate + 0.05f * error;
    }

    const auto n = static_cast<float>(count);
    const float sk = n * (n - 1.0f) / 2.0f;
    const float skk = n * (n - 1.0f) * (2.0f * n - 1.0f) / 6.0f;
    float sp = 0.0f;
    float skp = 0.0f;
    for (std::size_t s = 0; s < count; ++s) {
        sp = sp + phi[s];
        skp = skp + static_cast<float>(s) * phi[s];
    }
    const float det = n * skk - sk * sk;
    if (std::fabs(det) <= 1.1920929e-07f) return std::nullopt;
    const float slope = (n * skp - sk * sp) / det;
    const float intercept = (sp - slope * sk) / n;
    for (std::size_t s = 0; s < count; ++s) {
        const Complex derotate = conj(unit_phasor(intercept + slope * static_cast<float>(s)));
        Complex* y = kept.data() + s * d;
        for (std::size_t i = 0; i < d; ++i) y[i] = y[i] * derotate;
    }
    return PhaseLine{intercept, slope};
}

// The section's equaliser, estimated from the training bins, or none without them.
OfdmEqualizer* section_equaliser(DecoderPlans& plans, std::optional<std::span<const Complex>> training_bins) {
    if (!training_bins) return nullptr;
    plans.equaliser.estimate_from_training_symbol(*training_bins);
    return &plans.equaliser;
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

float error_ratio(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b, std::size_t n) {
    std::size_t differ = 0;
    for (std::size_t i = 0; i < n; ++i) differ += (a[i] & 1) != (b[i] & 1);
    return static_cast<float>(static_cast<double>(differ) / static_cast<double>(n));
}

// The FFT windows of a section of symbols: symbol m's window is the n samples from
// offset + m·(n + c) + c - b, the prefix of c samples skipped but for the last b.
struct SymbolWindows {
    std::span<const Complex> samples;
    std::size_t offset, n, c, b;

    std::size_t stride() const { return n + c; }
    void transform(std::size_t symbol, FftBlock& fft, std::vector<Complex>& bins) const {
        fft.process(samples.subspan(offset + symbol * stride() + c - b, n), bins);
    }
};

// The data cells of one symbol's bins, in carrier order.
void gather_data_cells(const CarrierGrid& grid, std::span<const Complex> symbol_bins, Complex* out) {
    for (std::size_t i = 0; i < grid.data_bins.size(); ++i) out[i] = symbol_bins[grid.data_bins[i]];
}

// Without an equaliser: the cells are demapped as the transform returns them.
void demap_as_transformed(const SymbolWindows& windows, std::size_t count, ConstellationOrder constellation,
                          DecoderPlans& plans, std::vector<Complex>* soft_sink, std::span<float> llrs) {
    const std::size_t d = plans.grid.data_bins.size();
    const unsigned k = bits_per_cell(constellation);
    std::vector<Complex> cells(d);
    for (std::size_t m = 0; m < count; ++m) {
        windows.transform(m, plans.fft, plans.bins);
        gather_data_cells(plans.grid, plans.bins, cells.data());
        if (soft_sink) soft_sink->insert(soft_sink->end(), cells.begin(), cells.end());
        soft_demap_cells(constellation, cells, llrs.subspan(m * d * k, d * k));
    }
}

// The equalised data cells of `count` symbols, symbol after symbol, into `kept`.
void equalise_cells(const SymbolWindows& windows, std::size_t count, OfdmEqualizer& equaliser, DecoderPlans& plans,
                    std::span<Complex> kept) {
    const std::size_t d = plans.grid.data_bins.size();
    for (std::size_t m = 0; m < count; ++m) {
        windows.transform(m, plans.fft, plans.bins);
        equaliser.process(plans.bins, plans.equalised);
        gather_data_cells(plans.grid, plans.equalised, kept.data() + m * d);
    }
}

// A cell divided by a weak channel estimate carries that much more noise: its soft values (k per
// cell, cells in data-carrier order symbol after symbol) are weighed by |H|² over the mean |H|²
// of the data bins, so that a bin the training symbol found faint cannot outvote the others.
void weigh_by_channel(std::span<const Complex> coefficients, const CarrierGrid& grid, unsigned k,
                      std::span<float> llrs) {
    const std::size_t d = grid.data_bins.size();
    std::vector<float> weight(d);
    double total = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        const float c = norm(coefficients[grid.data_bins[i]]);
        weight[i] = c > 0.0f ? 1.0f / c : 0.0f;
        total += weight[i];
    }
    const float mean = static_cast<float>(total / static_cast<double>(d));
    if (!(mean > 0.0f && std::isfinite(mean))) return;
    for (float& w : weight) w = w / mean;
    const std::size_t count = d == 0 ? 0 : llrs.size() / (d * k);
    for (std::size_t m = 0; m < count; ++m)
        for (std::size_t i = 0; i < d; ++i)
            for (unsigned b = 0; b < k; ++b) llrs[(m * d + i) * k + b] = llrs[(m * d + i) * k + b] * weight[i];
}

}  // namespace

DecoderPlans::DecoderPlans(const OfdmConfig& cfg)
    : plan(cfg.plan()),
      fft(cfg.n_fft()),
      grid(CarrierGrid::from_plan(cfg.plan())),
      equaliser(symbol_config(cfg, ConstellationOrder::Bpsk), EqualizerMode::TrainingSymbol),
      bins(cfg.n_fft()),
      equalised(cfg.n_fft()) {}

DecoderPlans& FrameScratch::plans_for(const OfdmConfig& cfg) {
    if (!plans || plans->plan != cfg.plan()) plans.emplace(cfg);
    return *plans;
}

std::size_t body_window_backoff(const OfdmConfig& cfg, bool has_training_bins) {
    return has_training_bins ? std::min(cfg.rx_window_backoff(), cfg.cp_len()) : 0;
}

std::expected<std::vector<float>, BodyFailure> demodulate_symbols(const OfdmConfig& cfg,
                                                                  ConstellationOrder constellation,
                                                                  std::span<const Complex> samples, std::size_t offset,
                                                                  std::size_t count, std::size_t backoff,
                                                                  OfdmEqualizer* equaliser,
                                                                  std::vector<Complex>* soft_sink, PhaseLine expected,
                                                                  std::optional<PhaseLine>* tracked,
                                                                  DecoderPlans* plans) {
    const SymbolWindows windows{samples, offset, cfg.n_fft(), cfg.cp_len(), std::min(backoff, cfg.cp_len())};
    if (offset > samples.size() || (samples.size() - offset) / windows.stride() < count)
        return std::unexpected(BodyFailure::need_more_samples());

    std::optional<DecoderPlans> own;
    if (plans == nullptr) plans = &own.emplace(cfg);
    const std::size_t d = plans->grid.data_bins.size();
    const unsigned k = bits_per_cell(constellation);
    std::vector<float> llrs(count * d * k);
    if (equaliser == nullptr) {
        demap_as_transformed(windows, count, constellation, *plans, soft_sink, llrs);
        return llrs;
    }

    std::vector<Complex> kept(count * d);
    equalise_cells(windows, count, *equaliser, *plans, kept);
    if (count >= min_tracked_symbols && d > 0) {
        const std::optional<PhaseLine> line = track_common_phase(constellation, kept, count, d, expected);
        if (tracked) *tracked = line;
    }
    if (soft_sink) soft_sink->insert(soft_sink->end(), kept.begin(), kept.end());
    for (std::size_t m = 0; m < count; ++m) {
        soft_demap_cells(constellation, std::span<const Complex>(kept).subspan(m * d, d),
                         std::span<float>(llrs).subspan(m * d * k, d * k));
    }
    weigh_by_channel(equaliser->training_coefficients(), plans->grid, k, llrs);
    return llrs;
}

std::expected<HeaderStage, BodyFailure> decode_frame_header(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                            std::span<const Complex> samples,
                                                            std::optional<std::span<const Complex>> training_bins,
                                                            CodecCache& cache, FrameScratch& scratch) {
    if (cfg.header_format() != fec::HeaderFormat::Native) return std::unexpected(BodyFailure::of(fec::RxError::MalformedHeader));

    const std::size_t d = cfg.plan().data_carriers.size();
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    const std::size_t backoff = body_window_backoff(cfg, training_bins.has_value());
    const BlockPlan header_plan = header_block_plan(cfg.header_crc(), cache);
    HeaderStage stage;
    stage.header_symbols = ceil_div(header_plan.coded_bits, d);

    DecoderPlans& plans = scratch.plans_for(cfg);
    OfdmEqualizer* equaliser = section_equaliser(plans, training_bins);
    std::vector<Complex> cells;
    auto llrs = demodulate_symbols(cfg, ConstellationOrder::Bpsk, samples, 0, stage.header_symbols, backoff, equaliser,
                                   &cells, PhaseLine{}, &stage.phase, &plans);
    if (!llrs) return std::unexpected(llrs.error());

    auto outcome = decode_chain(*llrs, header_plan, header_chain_settings(cfg.header_crc()), 0, cache);
    if (!outcome) return std::unexpected(BodyFailure::of(outcome.error()));
    if (!outcome_valid(*outcome)) return std::unexpected(BodyFailure::of(fec::RxError::HeaderCrcMismatch));

    const std::optional<FrameHeader> header = FrameHeader::parse(outcome->payload);
    if (!header || header->payload_len > max_frame_payload_bytes || header->mcs_index >= entries.size())
        return std::unexpected(BodyFailure::of(fec::RxError::MalformedHeader));
    stage.header = *header;
    stage.entry = entries[header->mcs_index];

    stage.payload_plan = block_plan(header->payload_len, payload_chain_settings(cfg, stage.entry), cache);
    stage.payload_symbols = ceil_div(stage.payload_plan.coded_bits, d * bits_per_cell(stage.entry.constellation));
    stage.body_samples = static_cast<std::uint64_t>(s) * (stage.header_symbols + stage.payload_symbols);

    if (needs_noise_scaling(stage.entry, cfg)) {
        const std::vector<std::uint8_t> coded = encode_header(outcome->payload, cfg.header_crc(), cache);
        stage.noise_variance = header_noise_variance(cells, coded);
    }
    return stage;
}

std::expected<RxFrame, BodyFailure> decode_frame_payload(const OfdmConfig& cfg, const HeaderStage& stage,
                                                         std::span<const Complex> samples,
                                                         std::optional<std::span<const Complex>> training_bins,
                                                         CodecCache& cache, bool pre_fec_diagnostics,
                                                         FrameScratch& scratch) {
    const std::size_t s = cfg.samples_per_ofdm_symbol();
    const std::size_t backoff = body_window_backoff(cfg, training_bins.has_value());
    const ConstellationOrder constellation = stage.entry.constellation;

    DecoderPlans& plans = scratch.plans_for(cfg);
    OfdmEqualizer* equaliser = section_equaliser(plans, training_bins);
    scratch.cells.clear();
    scratch.bits.clear();
    // The header's phase line, carried forward to the first payload symbol.
    PhaseLine expected;
    if (stage.phase) expected = PhaseLine{stage.phase->at(stage.header_symbols), stage.phase->slope};
    auto llrs = demodulate_symbols(cfg, constellation, samples, s * stage.header_symbols, stage.payload_symbols,
                                   backoff, equaliser, &scratch.cells, expected, nullptr, &plans);
    if (!llrs) return std::unexpected(llrs.error());

    scratch.bits.resize(llrs->size());
    decide(*llrs, scratch.bits.data());
    RxFrame frame;
    frame.evm_db = evm_db(constellation, scratch.cells, scratch.bits, stage.payload_symbols);

    if (needs_noise_scaling(stage.entry, cfg)) {
        const float scale = 1.0f / stage.noise_variance;
        for (float& llr : *llrs) llr = llr * scale;
    }

    const std::uint32_t seed = stage.header.per_frame_seed;
    const ChainSettings payload_chain = payload_chain_settings(cfg, stage.entry);
    auto outcome = decode_chain(*llrs, stage.payload_plan, payload_chain, seed, cache);
    if (!outcome) return std::unexpected(BodyFailure::of(outcome.error()));
    if (!outcome_valid(*outcome)) return std::unexpected(BodyFailure::of(fec::RxError::PayloadCrcMismatch));

    if (pre_fec_diagnostics) {
        const EncodedStages again = encode_chain_stages(outcome->payload, payload_chain, seed, cache);
        const std::size_t n_channel =
            std::min({scratch.bits.size(), stage.payload_plan.coded_bits, again.coded.size()});
        if (n_channel > 0) frame.pre_fec_channel_error_ratio = error_ratio(scratch.bits, again.coded, n_channel);
        const std::size_t n_outer = std::min(outcome->inner_bits_decoded.size(), again.outer_stage.size());
        if (n_outer > 0) frame.pre_fec_outer_error_ratio = error_ratio(outcome->inner_bits_decoded, again.outer_stage, n_outer);
    }

    frame.payload = std::move(outcome->payload);
    if (frame.payload.size() > stage.header.payload_len) frame.payload.resize(stage.header.payload_len);
    frame.sequence_num = stage.header.sequence_num;
    frame.mcs_index = stage.header.mcs_index;
    frame.flags = stage.header.flags;
    frame.consumed_samples = stage.body_samples;
    frame.inner_converged = outcome->inner_converged;
    frame.outer_ok = outcome->outer_ok;
    return frame;
}

std::expected<RxFrame, BodyFailure> decode_frame_body(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                      std::span<const Complex> samples,
                                                      std::optional<std::span<const Complex>> training_bins,
                                                      CodecCache& cache, bool pre_fec_diagnostics,
                                                      FrameScratch& scratch) {
    auto stage = decode_frame_header(cfg, entries, samples, training_bins, cache, scratch);
    if (!stage) return std::unexpected(stage.error());
    return decode_frame_payload(cfg, *stage, samples, training_bins, cache, pre_fec_diagnostics, scratch);
}

std::expected<OfdmFrameDemod, FrameLinkError> OfdmFrameDemod::create(const OfdmConfig& cfg, std::span<const Mcs> entries,
                                                                     std::shared_ptr<CodecCache> cache) {
    auto link = FrameLink::create(cfg, entries, 0, 0, std::move(cache));
    if (!link) return std::unexpected(link.error());
    return OfdmFrameDemod(std::move(*link));
}

std::expected<FramePacket, fec::RxError> OfdmFrameDemod::decode(std::span<const Complex> iq) const {
    try {
        auto frame = decode_frame_body(link_.cfg, link_.entries, iq, std::nullopt, *link_.cache, false, scratch_);
        if (!frame) return std::unexpected(frame.error().error());
        return std::move(*frame).packet();
    } catch (const InternalFault&) {
        // A fault inside one attempt fails that frame, not the caller's program.
        return std::unexpected(fec::RxError::MalformedHeader);
    }
}

}  // namespace kavro
