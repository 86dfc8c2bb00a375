#include "fec/chain/tx_chain.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>

#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"
#include "fec/conv.hpp"
#include "fec/crc.hpp"
#include "fec/interleaver.hpp"

namespace kavro::fec {

namespace {

std::size_t ceil_div(std::size_t a, std::size_t b) {
    if (b == 0) internal_fault("chunk size must be non-zero");
    return a / b + (a % b != 0);
}

ConvKind conv_kind(const InnerFec& inner) { return inner.kind == InnerFec::Kind::ConvK5 ? ConvKind::K5 : ConvKind::K7; }

// Cuts `message` into blocks of k elements (the last zero-padded) and writes each block followed by
// its parity into an n-element slot of the result.
template <class Code>
std::vector<std::uint8_t> encode_blocks(std::span<const std::uint8_t> message, const Code& code) {
    const std::size_t k = code.k();
    const std::size_t n = code.n();
    const std::size_t blocks = ceil_div(message.size(), k);
    std::vector<std::uint8_t> out(blocks * n, 0);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t take = std::min(k, message.size() - b * k);
        std::uint8_t* word = out.data() + b * n;
        std::copy_n(message.data() + b * k, take, word);
        code.encode_into(std::span<const std::uint8_t>(word, k), std::span<std::uint8_t>(word + k, n - k));
    }
    return out;
}

std::vector<std::uint8_t> outer_encode(std::span<const std::uint8_t> framed, const OuterFec& outer, CodecCache& cache) {
    switch (outer.kind) {
        case OuterFec::Kind::None: break;
        case OuterFec::Kind::Bch: {
            const std::vector<std::uint8_t> bits = bytes_to_bits(framed);
            return encode_blocks(std::span<const std::uint8_t>(bits), *cache.bch(outer.t));
        }
        case OuterFec::Kind::ReedSolomon: {
            const auto code = cache.rs(outer.n, outer.n_parity);
            return bytes_to_bits(encode_blocks(framed, *code));
        }
    }
    return bytes_to_bits(framed);
}

std::vector<std::uint8_t> ldpc_encode(std::span<const std::uint8_t> bits, const Ldpc& code) {
    const std::size_t k = code.k();
    const std::size_t n = code.n();
    const std::size_t blocks = ceil_div(bits.size(), k);
    std::vector<std::uint8_t> out(blocks * n);
    std::vector<std::uint8_t> message(k);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t take = std::min(k, bits.size() - b * k);
        std::copy_n(bits.data() + b * k, take, message.begin());
        std::fill(message.begin() + static_cast<std::ptrdiff_t>(take), message.end(), 0);
        code.encode_into(message, std::span<std::uint8_t>(out.data() + b * n, n));
    }
    return out;
}

std::vector<std::uint8_t> inner_encode(std::vector<std::uint8_t> bits, const InnerFec& inner, CodecCache& cache) {
    switch (inner.kind) {
        case InnerFec::Kind::None: break;
        case InnerFec::Kind::Ldpc: return ldpc_encode(bits, *cache.ldpc(inner.code));
        case InnerFec::Kind::ConvK5:
        case InnerFec::Kind::ConvK7: return conv_encode(bits, conv_kind(inner), inner.rate);
    }
    return bits;
}

// The n-element words of a block code for `count` elements cut into blocks of k, the last padded.
template <class Code>
std::size_t coded_length(std::size_t count, const Code& code) {
    return ceil_div(count, code.k()) * code.n();
}

// Bits after the outer code of framed_bytes bytes (BCH codes bits, Reed-Solomon bytes).
std::size_t outer_coded_bits(std::size_t framed_bytes, const OuterFec& outer, CodecCache& cache) {
    switch (outer.kind) {
        case OuterFec::Kind::None: break;
        case OuterFec::Kind::Bch: return coded_length(8 * framed_bytes, *cache.bch(outer.t));
        case OuterFec::Kind::ReedSolomon: return coded_length(framed_bytes, *cache.rs(outer.n, outer.n_parity)) * 8;
    }
    return 8 * framed_bytes;
}

// Bits after the inner code of `bits` bits, tail and puncturing included.
std::size_t inner_coded_bits(std::size_t bits, const InnerFec& inner, CodecCache& cache) {
    switch (inner.kind) {
        case InnerFec::Kind::None: break;
        case InnerFec::Kind::Ldpc: return coded_length(bits, *cache.ldpc(inner.code));
        case InnerFec::Kind::ConvK5:
        case InnerFec::Kind::ConvK7: return conv_coded_length(bits, conv_kind(inner), inner.rate);
    }
    return bits;
}

std::vector<std::uint8_t> interleave(const InterleaverKind& kind, std::vector<std::uint8_t> bits) {
    if (kind.kind == InterleaverKind::Kind::None) return bits;
    return interleave_bits(kind, bits);
}

}  // namespace

std::optional<PnScrambler> chain_lfsr(const ScramblerKind& scrambler, std::uint32_t per_frame_seed) {
    if (scrambler.kind != ScramblerKind::Kind::Lfsr) return std::nullopt;
    const std::uint32_t seed =
        scrambler.seed.kind == ScramblerSeed::Kind::PerFrame ? per_frame_seed : scrambler.seed.value;
    auto lfsr = PnScrambler::create(scrambler.poly, scrambler.width, seed);
    if (!lfsr) internal_fault(error_message(lfsr.error()));
    return *lfsr;
}

BlockPlan block_plan(std::size_t payload_len, const ChainSettings& settings, CodecCache& cache) {
    BlockPlan plan;
    plan.payload_bytes = payload_len;
    plan.framed_bytes = payload_len + crc_width(settings.crc);
    plan.outer_bits = outer_coded_bits(plan.framed_bytes, settings.outer, cache);
    plan.outer_stage_bits = interleaved_bit_count(settings.outer_interleaver, plan.outer_bits);
    plan.inner_bits = inner_coded_bits(plan.outer_stage_bits, settings.inner, cache);
    plan.coded_bits = interleaved_bit_count(settings.inner_interleaver, plan.inner_bits);
    return plan;
}

EncodedStages encode_chain_stages(std::span<const std::uint8_t> payload, const ChainSettings& settings,
                                  std::uint32_t per_frame_seed, CodecCache& cache) {
    std::vector<std::uint8_t> framed = append_crc(settings.crc, payload);

    // Validated before any coding, whichever position the scrambler takes.
    const std::optional<PnScrambler> lfsr = chain_lfsr(settings.scrambler, per_frame_seed);
    if (settings.position == ScramblerPosition::BeforeOuter) {
        if (lfsr) {
            lfsr->scramble(framed);
        } else {
            scramble_bytes(settings.scrambler, per_frame_seed, framed);
        }
    }

    EncodedStages stages;
    stages.outer_stage = interleave(settings.outer_interleaver, outer_encode(framed, settings.outer, cache));
    stages.coded = interleave(settings.inner_interleaver, inner_encode(stages.outer_stage, settings.inner, cache));

    // Energy dispersal works on bytes only; after the inner code only an LFSR acts.
    if (settings.position == ScramblerPosition::AfterInner && lfsr) lfsr->scramble_bits(stages.coded);
    return stages;
}

}  // namespace kavro::fec
