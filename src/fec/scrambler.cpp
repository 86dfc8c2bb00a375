#include "fec/scrambler.hpp"

#include <bit>

#include "core/internal_fault.hpp"
#include "fec/dvb_t_energy_dispersal.hpp"

namespace kavro::fec {

namespace {

constexpr std::uint32_t width_mask(std::uint32_t width) {
    return width >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << width) - 1u;
}

}  // namespace

std::string error_message(const LfsrError& error) {
    switch (error) {
        case LfsrError::WidthOutOfRange: return "LFSR width must be in 2..=32";
        case LfsrError::TapsTooWide: return "LFSR taps must fit in `width` bits";
    }
    return "unknown LFSR error";
}

std::expected<PnScrambler, LfsrError> PnScrambler::create(std::uint32_t poly, std::uint32_t width,
                                                          std::uint32_t seed) {
    if (width < 2 || width > 32) return std::unexpected(LfsrError::WidthOutOfRange);
    const std::uint32_t mask = width_mask(width);
    std::uint32_t state = seed & mask;
    if (state == 0) state = 1;
    if ((poly & ~mask) != 0) return std::unexpected(LfsrError::TapsTooWide);
    return PnScrambler(poly, width, state);
}

std::uint8_t PnScrambler::next_key_byte(std::uint32_t& reg) const {
    const std::uint32_t mask = width_mask(width_);
    const unsigned top = width_ - 1;
    unsigned key = 0;
    for (unsigned j = 0; j < 8; ++j) {
        reg &= mask;
        key |= (reg & 1u) << j;
        const std::uint32_t feedback = static_cast<std::uint32_t>(std::popcount(reg & poly_) & 1);
        reg = ((feedback << top) | (reg >> 1)) & mask;
    }
    return static_cast<std::uint8_t>(key);
}

void PnScrambler::scramble(std::span<std::uint8_t> bytes) const {
    std::uint32_t reg = state_;
    for (std::uint8_t& b : bytes) b ^= next_key_byte(reg);
}

void PnScrambler::keystream_bits(std::span<std::uint8_t> out) const {
    std::uint32_t reg = state_;
    for (std::size_t base = 0; base < out.size(); base += 8) {
        const unsigned key = next_key_byte(reg);
        const std::size_t count = out.size() - base < 8 ? out.size() - base : 8;
        for (std::size_t m = 0; m < count; ++m) out[base + m] = static_cast<std::uint8_t>((key >> (7 - m)) & 1u);
    }
}

void PnScrambler::scramble_bits(std::span<std::uint8_t> bits) const {
    std::uint32_t reg = state_;
    for (std::size_t base = 0; base < bits.size(); base += 8) {
        const unsigned key = next_key_byte(reg);
        const std::size_t count = bits.size() - base < 8 ? bits.size() - base : 8;
        for (std::size_t m = 0; m < count; ++m) {
            bits[base + m] = static_cast<std::uint8_t>((bits[base + m] ^ (key >> (7 - m))) & 1u);
        }
    }
}

void PnScrambler::flip_llr_signs(std::span<float> llrs) const {
    std::uint32_t reg = state_;
    for (std::size_t base = 0; base < llrs.size(); base += 8) {
        const unsigned key = next_key_byte(reg);
        const std::size_t count = llrs.size() - base < 8 ? llrs.size() - base : 8;
        for (std::size_t m = 0; m < count; ++m) {
            if ((key >> (7 - m)) & 1u) llrs[base + m] = -llrs[base + m];
        }
    }
}

namespace {

PnScrambler lfsr_from_setting(const ScramblerKind& kind, std::uint32_t per_frame_seed) {
    const std::uint32_t seed = kind.seed.kind == ScramblerSeed::Kind::PerFrame ? per_frame_seed : kind.seed.value;
    auto scrambler = PnScrambler::create(kind.poly, kind.width, seed);
    if (!scrambler) internal_fault(error_message(scrambler.error()));
    return *scrambler;
}

}  // namespace

void scramble_bytes(const ScramblerKind& kind, std::uint32_t per_frame_seed, std::span<std::uint8_t> bytes) {
    switch (kind.kind) {
        case ScramblerKind::Kind::None: return;
        case ScramblerKind::Kind::Lfsr: lfsr_from_setting(kind, per_frame_seed).scramble(bytes); return;
        case ScramblerKind::Kind::DvbT: {
            DvbTEnergyDispersal prbs;
            prbs.feed_in_place(bytes);
            return;
        }
    }
}

void scramble_coded_bits(const ScramblerKind& kind, std::uint32_t per_frame_seed,
                         std::span<std::uint8_t> bits) {
    if (kind.kind == ScramblerKind::Kind::Lfsr) lfsr_from_setting(kind, per_frame_seed).scramble_bits(bits);
}

void descramble_llrs(const ScramblerKind& kind, std::uint32_t per_frame_seed, std::span<float> llrs) {
    if (kind.kind == ScramblerKind::Kind::Lfsr) lfsr_from_setting(kind, per_frame_seed).flip_llr_signs(llrs);
}

}  // namespace kavro::fec
