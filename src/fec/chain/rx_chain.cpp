#include "fec/chain/rx_chain.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "fec/bit_packing.hpp"
#include "fec/conv.hpp"
#include "fec/crc.hpp"
#include "fec/interleaver.hpp"
#include "fec/scrambler.hpp"

namespace kavro {

namespace {

void truncate(auto& values, std::size_t size) {
    if (values.size() > size) values.resize(size);
}

void add_corrections(std::optional<std::uint32_t>& total, std::size_t count) {
    const std::uint64_t sum = static_cast<std::uint64_t>(*total) + count;
    total = static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, std::numeric_limits<std::uint32_t>::max()));
}

// A soft value of 0 or below (not NaN) decides bit 1.
std::vector<std::uint8_t> hard_decisions(std::span<const float> soft) {
    std::vector<std::uint8_t> bits(soft.size());
    for (std::size_t i = 0; i < soft.size(); ++i) bits[i] = soft[i] <= 0.0f ? 1 : 0;
    return bits;
}

std::vector<std::uint8_t> ldpc_decode(std::span<const float> soft, const fec::Ldpc& code, fec::LdpcDecodeRule rule,
                                      bool& converged) {
    const std::size_t n = code.n();
    const std::size_t k = code.k();
    const std::size_t words = soft.size() / n;
    if (soft.size() % n != 0) converged = false;  // a word cut short cannot be decoded
    std::vector<std::uint8_t> bits(words * k);
    for (std::size_t w = 0; w < words; ++w) {
        const fec::LdpcDecoded decoded = code.decode(soft.subspan(w * n, n), rule);
        if (!decoded.converged) converged = false;
        std::copy(decoded.message.begin(), decoded.message.end(), bits.begin() + static_cast<std::ptrdiff_t>(w * k));
    }
    return bits;
}

// Message and tail decisions of a terminated convolutional code carrying message_bits bits.
std::vector<std::uint8_t> conv_decode_with_tail(std::span<const float> soft, fec::ConvKind kind,
                                                fec::PunctureRate rate, std::size_t message_bits) {
    const std::vector<float> mother = fec::conv_depuncture(soft, kind, rate, message_bits);
    std::vector<std::uint8_t> decided(mother.size() / 2);
    fec::ViterbiDecoder decoder(kind);
    decoder.decode(mother, decided);
    return decided;
}

std::vector<std::uint8_t> inner_decode(std::span<const float> soft, const BlockPlan& plan, const fec::InnerFec& inner,
                                       CodecCache& cache, fec::LdpcDecodeRule rule, bool& converged) {
    switch (inner.kind) {
        case fec::InnerFec::Kind::None: break;
        case fec::InnerFec::Kind::Ldpc: return ldpc_decode(soft, *cache.ldpc(inner.code), rule, converged);
        case fec::InnerFec::Kind::ConvK5:
            return conv_decode_with_tail(soft, fec::ConvKind::K5, inner.rate, plan.outer_stage_bits);
        case fec::InnerFec::Kind::ConvK7:
            return conv_decode_with_tail(soft, fec::ConvKind::K7, inner.rate, plan.outer_stage_bits);
    }
    return hard_decisions(soft);
}

// Decodes every whole n-element word of `data` in place and gathers the k message elements of
// each, corrected or as received; a trailing partial word is dropped. Words that `is_codeword`
// recognises need no decoding.
template <class Code>
std::vector<std::uint8_t> decode_outer_words(std::vector<std::uint8_t> data, const Code& code, ChainOutcome& out) {
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
    return data;
}

std::optional<std::vector<std::uint8_t>> decode_reed_solomon(std::vector<std::uint8_t> bytes, const fec::OuterFec& outer,
                                                             std::size_t framed_bytes, CodecCache& cache,
                                                             ChainOutcome& out) {
    bytes = decode_outer_words(std::move(bytes), *cache.rs(outer.n, outer.n_parity), out);
    if (bytes.size() < framed_bytes) return std::nullopt;
    bytes.resize(framed_bytes);
    return bytes;
}

// The framed bytes from the outer stage's bits, or nothing when too few remain.
std::optional<std::vector<std::uint8_t>> decode_outer(std::vector<std::uint8_t> bits, const fec::OuterFec& outer,
                                                      std::size_t framed_bytes, CodecCache& cache, ChainOutcome& out) {
    switch (outer.kind) {
        case fec::OuterFec::Kind::None:
        case fec::OuterFec::Kind::Bch:
            if (outer.kind == fec::OuterFec::Kind::Bch) {
                bits = decode_outer_words(std::move(bits), *cache.bch(outer.t), out);
            }
            if (bits.size() / 8 < framed_bytes) return std::nullopt;
            return fec::bits_to_bytes(std::span<const std::uint8_t>(bits).first(8 * framed_bytes));
        case fec::OuterFec::Kind::ReedSolomon:
            // A bit count cut short of a whole byte is packed with its last byte zero-padded.
            return decode_reed_solomon(fec::pack_bits_padded(bits), outer, framed_bytes, cache, out);
    }
    return std::nullopt;
}

// The outer stage's bits as bytes, for Reed-Solomon behind a convolutional interleaver whose
// output is whole bytes: the deinterleaver runs on bytes, so the bits are packed once instead of
// being deinterleaved as bits, unpacked and packed again.
bool outer_stage_as_bytes(const fec::OuterFec& outer, const fec::InterleaverKind& interleaver, const BlockPlan& plan) {
    return outer.kind == fec::OuterFec::Kind::ReedSolomon &&
           interleaver.kind == fec::InterleaverKind::Kind::Convolutional && plan.outer_bits % 8 == 0;
}

}  // namespace

std::expected<ChainOutcome, fec::RxError> decode_chain(
    std::span<const float> llrs, const BlockPlan& plan, fec::CrcKind crc, const fec::OuterFec& outer,
    const fec::InnerFec& inner, const fec::InterleaverKind& outer_interleaver,
    const fec::InterleaverKind& inner_interleaver, const fec::ScramblerKind& scrambler, fec::ScramblerPosition position,
    std::uint32_t per_frame_seed, CodecCache& cache, fec::LdpcDecodeRule ldpc_rule) {
    ChainOutcome out;
    out.crc_present = crc != fec::CrcKind::None;
    out.outer_present = outer.kind != fec::OuterFec::Kind::None;
    if (out.outer_present) out.outer_corrections = 0;

    // Validated before any decoding, whichever position the scrambler takes.
    const std::optional<fec::PnScrambler> lfsr = chain_lfsr(scrambler, per_frame_seed);

    // The caller's values are read in place unless a stage has to change them.
    std::span<const float> soft = llrs.first(std::min(llrs.size(), plan.coded_bits));
    std::vector<float> changed;
    const bool flip = position == fec::ScramblerPosition::AfterInner && lfsr;
    if (flip || inner_interleaver.kind != fec::InterleaverKind::Kind::None) {
        changed.assign(soft.begin(), soft.end());
        if (flip) lfsr->flip_llr_signs(changed);
        if (inner_interleaver.kind != fec::InterleaverKind::Kind::None)
            changed = fec::deinterleave_llrs(inner_interleaver, changed);
        soft = changed;
    }
    soft = soft.first(std::min(soft.size(), plan.inner_bits));

    out.inner_bits_decoded = inner_decode(soft, plan, inner, cache, ldpc_rule, out.inner_converged);

    const std::span<const std::uint8_t> decided = std::span<const std::uint8_t>(out.inner_bits_decoded)
                                                      .first(std::min(out.inner_bits_decoded.size(), plan.outer_stage_bits));
    std::optional<std::vector<std::uint8_t>> decoded;
    if (outer_stage_as_bytes(outer, outer_interleaver, plan)) {
        std::vector<std::uint8_t> bytes = fec::conv_deinterleave_bytes(fec::pack_bits_padded(decided),
                                                                       outer_interleaver.branches, outer_interleaver.depth);
        truncate(bytes, plan.outer_bits / 8);
        decoded = decode_reed_solomon(std::move(bytes), outer, plan.framed_bytes, cache, out);
    } else {
        std::vector<std::uint8_t> bits = outer_interleaver.kind != fec::InterleaverKind::Kind::None
                                             ? fec::deinterleave_bits(outer_interleaver, decided)
                                             : std::vector<std::uint8_t>(decided.begin(), decided.end());
        truncate(bits, plan.outer_bits);
        decoded = decode_outer(std::move(bits), outer, plan.framed_bytes, cache, out);
    }
    if (!decoded) return std::unexpected(fec::RxError::MalformedHeader);
    std::vector<std::uint8_t>& framed = *decoded;

    if (position == fec::ScramblerPosition::BeforeOuter) {
        if (lfsr) {
            lfsr->scramble(framed);
        } else {
            fec::scramble_bytes(scrambler, per_frame_seed, framed);
        }
    }

    const auto checked = fec::check_crc(crc, framed);
    if (!checked) return std::unexpected(fec::RxError::MalformedHeader);
    out.crc_ok = checked->crc_ok;
    out.payload.assign(checked->payload.begin(), checked->payload.end());
    return out;
}

}  // namespace kavro
