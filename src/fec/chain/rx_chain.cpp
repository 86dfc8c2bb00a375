#include "fec/chain/rx_chain.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "fec/bit_packing.hpp"
#include "fec/conv_tables.hpp"
#include "fec/crc.hpp"
#include "fec/interleaver.hpp"

namespace kavro::fec {

namespace {

void truncate(auto& values, std::size_t size) {
    if (values.size() > size) values.resize(size);
}

void add_corrections(std::optional<std::uint32_t>& total, std::size_t count) {
    const std::uint64_t sum = static_cast<std::uint64_t>(*total) + count;
    total = static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, std::numeric_limits<std::uint32_t>::max()));
}

std::optional<float> share(std::size_t count, std::size_t total) {
    if (total == 0) return std::nullopt;
    return static_cast<float>(static_cast<double>(count) / static_cast<double>(total));
}

// A soft value of 0 or below (not NaN) decides bit 1.
void hard_decisions(std::span<const float> soft, std::vector<std::uint8_t>& bits) {
    bits.resize(soft.size());
    for (std::size_t i = 0; i < soft.size(); ++i) bits[i] = soft[i] <= 0.0f ? 1 : 0;
}

void ldpc_decode(std::span<const float> soft, const Ldpc& code, LdpcDecodeRule rule, std::vector<std::uint8_t>& bits,
                 bool& converged) {
    const std::size_t n = code.n();
    const std::size_t k = code.k();
    const std::size_t words = soft.size() / n;
    if (soft.size() % n != 0) converged = false;  // a word cut short cannot be decoded
    bits.resize(words * k);
    for (std::size_t w = 0; w < words; ++w) {
        const LdpcDecoded decoded = code.decode(soft.subspan(w * n, n), rule);
        if (!decoded.converged) converged = false;
        std::copy(decoded.message.begin(), decoded.message.end(), bits.begin() + static_cast<std::ptrdiff_t>(w * k));
    }
}

// The soft values spread over the 2·steps slots of the rate-1/2 mother stream, punctured slots
// and slots beyond the values 0: whole puncturing periods while their values last, then slot by
// slot.
template <PunctureRate Rate>
void depuncture_as(std::span<const float> soft, std::span<float> mother) {
    static constexpr PuncturePattern pattern = puncture_patterns[static_cast<std::size_t>(Rate)];
    static constexpr std::size_t sent = [] {
        std::size_t n = 0;
        for (std::size_t p = 0; p < pattern.period; ++p) n += pattern.x[p] + pattern.y[p];
        return n;
    }();
    const std::size_t steps = mother.size() / 2;
    float* out = mother.data();
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

void depuncture(std::span<const float> soft, PunctureRate rate, std::span<float> mother) {
    switch (rate) {
        case PunctureRate::R12: return depuncture_as<PunctureRate::R12>(soft, mother);
        case PunctureRate::R23: return depuncture_as<PunctureRate::R23>(soft, mother);
        case PunctureRate::R34: return depuncture_as<PunctureRate::R34>(soft, mother);
        case PunctureRate::R56: return depuncture_as<PunctureRate::R56>(soft, mother);
        case PunctureRate::R78: return depuncture_as<PunctureRate::R78>(soft, mother);
    }
}

// Decodes every whole n-element word of `data` in place and gathers the k message elements of
// each, corrected or as received; a trailing partial word is dropped. Words that `is_codeword`
// recognises need no decoding.
template <class Code>
void decode_outer_words(std::vector<std::uint8_t>& data, const Code& code, ChainOutcome& out) {
    const std::size_t n = code.n();
    const std::size_t k = code.k();
    const std::size_t words = data.size() / n;
    if (data.size() % n != 0) out.outer_ok = false;
    for (std::size_t w = 0; w < words; ++w) {
        std::uint8_t* word = data.data() + w * n;
        const auto decoded = code.decode_in_place(std::span<std::uint8_t>(word, n));
        if (decoded) {
            add_corrections(out.outer_corrections, *decoded);
        } else {
            out.outer_ok = false;  // the received message stays in place
        }
        std::memmove(data.data() + w * k, word, k);
    }
    data.resize(words * k);
}

// The outer stage's bits as bytes, for Reed-Solomon behind a convolutional interleaver whose
// output is whole bytes: the deinterleaver runs on bytes, so the bits are packed once instead of
// being deinterleaved as bits, unpacked and packed again.
bool outer_stage_as_bytes(const ChainSettings& settings, const BlockPlan& plan) {
    return settings.outer.kind == OuterFec::Kind::ReedSolomon &&
           settings.outer_interleaver.kind == InterleaverKind::Kind::Convolutional && plan.outer_bits % 8 == 0;
}

}  // namespace

std::span<const float> ChainDecoder::inner_input(std::span<const float> llrs, const BlockPlan& plan,
                                                 const ChainSettings& settings,
                                                 const std::optional<PnScrambler>& lfsr) {
    // The caller's values are read in place unless a stage has to change them.
    std::span<const float> soft = llrs.first(std::min(llrs.size(), plan.coded_bits));
    const bool flip = settings.position == ScramblerPosition::AfterInner && lfsr;
    const bool interleaved = settings.inner_interleaver.kind != InterleaverKind::Kind::None;
    if (flip || interleaved) {
        soft_.assign(soft.begin(), soft.end());
        if (flip) lfsr->flip_llr_signs(soft_);
        if (interleaved) soft_ = deinterleave_llrs(settings.inner_interleaver, soft_);
        soft = soft_;
    }
    return soft.first(std::min(soft.size(), plan.inner_bits));
}

// Depunctured (missing values 0), then the Viterbi decoder: message and tail decisions.
void ChainDecoder::conv_decode(std::span<const float> soft, ConvKind kind, PunctureRate rate,
                               std::size_t message_bits) {
    const std::size_t steps = message_bits + conv_constraint_length(kind) - 1;
    mother_.resize(2 * steps);
    depuncture(soft, rate, mother_);
    std::optional<ViterbiDecoder>& viterbi = viterbi_[static_cast<std::size_t>(kind)];
    if (!viterbi) viterbi.emplace(kind);
    outcome_.inner_bits_decoded.resize(steps);
    viterbi->decode(mother_, outcome_.inner_bits_decoded);
}

void ChainDecoder::inner_decode(std::span<const float> soft, const BlockPlan& plan, const ChainSettings& settings,
                                CodecCache& cache) {
    std::vector<std::uint8_t>& bits = outcome_.inner_bits_decoded;
    switch (settings.inner.kind) {
        case InnerFec::Kind::None: break;
        case InnerFec::Kind::Ldpc:
            return ldpc_decode(soft, *cache.ldpc(settings.inner.code), settings.ldpc_rule, bits,
                               outcome_.inner_converged);
        case InnerFec::Kind::ConvK5: return conv_decode(soft, ConvKind::K5, settings.inner.rate, plan.outer_stage_bits);
        case InnerFec::Kind::ConvK7: return conv_decode(soft, ConvKind::K7, settings.inner.rate, plan.outer_stage_bits);
    }
    hard_decisions(soft, bits);
}

// The bits packed into bytes_, the last byte zero-padded; bytes_ keeps its capacity from frame to
// frame.
void ChainDecoder::pack_bytes(std::span<const std::uint8_t> bits) {
    bytes_.resize((bits.size() + 7) / 8);
    pack_bits_into(bits, bytes_);
}

// The framed bytes into bytes_ from the inner decisions; false when too few remain.
bool ChainDecoder::outer_decode(const BlockPlan& plan, const ChainSettings& settings, CodecCache& cache) {
    const std::span<const std::uint8_t> inner_bits = outcome_.inner_bits_decoded;
    const auto decided = inner_bits.first(std::min(inner_bits.size(), plan.outer_stage_bits));
    const OuterFec& outer = settings.outer;
    const InterleaverKind& interleaver = settings.outer_interleaver;
    if (outer_stage_as_bytes(settings, plan)) {
        bytes_ = conv_deinterleave_bytes(pack_bits_padded(decided), interleaver.branches, interleaver.depth);
        truncate(bytes_, plan.outer_bits / 8);
    } else {
        if (interleaver.kind != InterleaverKind::Kind::None) {
            outer_bits_ = deinterleave_bits(interleaver, decided);
        } else {
            outer_bits_.assign(decided.begin(), decided.end());
        }
        truncate(outer_bits_, plan.outer_bits);
        if (outer.kind == OuterFec::Kind::Bch) decode_outer_words(outer_bits_, *cache.bch(outer.t), outcome_);
        if (outer.kind != OuterFec::Kind::ReedSolomon) {
            if (outer_bits_.size() / 8 < plan.framed_bytes) return false;
            pack_bytes(std::span<const std::uint8_t>(outer_bits_).first(8 * plan.framed_bytes));
            return true;
        }
        // A bit count cut short of a whole byte is packed with its last byte zero-padded.
        pack_bytes(outer_bits_);
    }
    decode_outer_words(bytes_, *cache.rs(outer.n, outer.n_parity), outcome_);
    if (bytes_.size() < plan.framed_bytes) return false;
    bytes_.resize(plan.framed_bytes);
    return true;
}

std::expected<void, RxError> ChainDecoder::decode(std::span<const float> llrs, const BlockPlan& plan,
                                                  const ChainSettings& settings, std::uint32_t per_frame_seed,
                                                  CodecCache& cache) {
    outcome_.payload.clear();
    outcome_.crc_present = settings.crc != CrcKind::None;
    outcome_.outer_present = settings.outer.kind != OuterFec::Kind::None;
    outcome_.outer_corrections = outcome_.outer_present ? std::optional<std::uint32_t>(0) : std::nullopt;
    outcome_.inner_converged = outcome_.outer_ok = outcome_.crc_ok = true;

    // Validated before any decoding, whichever position the scrambler takes.
    const std::optional<PnScrambler> lfsr = chain_lfsr(settings.scrambler, per_frame_seed);
    inner_decode(inner_input(llrs, plan, settings, lfsr), plan, settings, cache);
    if (!outer_decode(plan, settings, cache)) return std::unexpected(RxError::MalformedHeader);

    if (settings.position == ScramblerPosition::BeforeOuter) {
        if (lfsr) {
            lfsr->scramble(bytes_);
        } else {
            scramble_bytes(settings.scrambler, per_frame_seed, bytes_);
        }
    }

    const auto checked = check_crc(settings.crc, bytes_);
    if (!checked) return std::unexpected(RxError::MalformedHeader);
    outcome_.crc_ok = checked->crc_ok;
    outcome_.payload.assign(checked->payload.begin(), checked->payload.end());
    return {};
}

std::expected<ChainOutcome, RxError> decode_chain(std::span<const float> llrs, const BlockPlan& plan,
                                                  const ChainSettings& settings, std::uint32_t per_frame_seed,
                                                  CodecCache& cache) {
    ChainDecoder decoder;
    if (const auto decoded = decoder.decode(llrs, plan, settings, per_frame_seed, cache); !decoded)
        return std::unexpected(decoded.error());
    return std::move(decoder).outcome();
}

PreDecodingRatios pre_decoding_error_ratios(std::span<const float> llrs, const BlockPlan& plan,
                                            const ChainSettings& settings, std::uint32_t per_frame_seed,
                                            const ChainOutcome& outcome, CodecCache& cache) {
    const EncodedStages again = encode_chain_stages(outcome.payload, settings, per_frame_seed, cache);
    const std::size_t coded = std::min({llrs.size(), plan.coded_bits, again.coded.size()});
    std::size_t differing = 0;
    for (std::size_t i = 0; i < coded; ++i) differing += (llrs[i] <= 0.0f ? 1u : 0u) != again.coded[i];
    PreDecodingRatios ratios;
    ratios.channel = share(differing, coded);

    const std::span<const std::uint8_t> inner_bits = outcome.inner_bits_decoded;
    const std::size_t inner = std::min(inner_bits.size(), again.outer_stage.size());
    differing = 0;
    for (std::size_t i = 0; i < inner; ++i) differing += inner_bits[i] != again.outer_stage[i];
    ratios.outer = share(differing, inner);
    return ratios;
}

}  // namespace kavro::fec
