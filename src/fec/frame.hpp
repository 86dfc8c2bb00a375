#pragma once

#include <cstddef>
#include <cstdint>

// Frame-link settings held by the OFDM configuration and put to work by the coding chains:
// the scrambler and where it runs, and the interleaver of each interleaver stage.

namespace kavro::fec {

// A fixed LFSR seed used for every frame, or a seed chosen per frame and carried in its header.
struct ScramblerSeed {
    enum class Kind : std::uint8_t { Fixed = 0, PerFrame = 1 };
    Kind kind = Kind::Fixed;
    std::uint32_t value = 0;  // read only by Fixed

    static constexpr ScramblerSeed fixed(std::uint32_t seed) { return {Kind::Fixed, seed}; }
    static constexpr ScramblerSeed per_frame() { return {Kind::PerFrame, 0}; }

    friend constexpr bool operator==(const ScramblerSeed& a, const ScramblerSeed& b) {
        return a.kind == b.kind && (a.kind != Kind::Fixed || a.value == b.value);
    }
};

struct ScramblerKind {
    enum class Kind : std::uint8_t { None = 0, Lfsr = 1, DvbT = 2 };
    Kind kind = Kind::None;
    // Additive LFSR: feedback polynomial mask, register width in bits and seed.
    std::uint32_t poly = 0;
    std::uint8_t width = 0;
    ScramblerSeed seed{};

    static constexpr ScramblerKind none() { return {}; }
    static constexpr ScramblerKind lfsr(std::uint32_t poly, std::uint8_t width, ScramblerSeed seed) {
        return {Kind::Lfsr, poly, width, seed};
    }
    static constexpr ScramblerKind dvb_t() { return {Kind::DvbT, 0, 0, {}}; }

    friend constexpr bool operator==(const ScramblerKind& a, const ScramblerKind& b) {
        if (a.kind != b.kind) return false;
        return a.kind != Kind::Lfsr || (a.poly == b.poly && a.width == b.width && a.seed == b.seed);
    }
};

// Bytes before the outer code, or coded bits after the inner code and its interleaver.
enum class ScramblerPosition : std::uint8_t { BeforeOuter = 0, AfterInner = 1 };

struct InterleaverKind {
    enum class Kind : std::uint8_t { None = 0, Block = 1, Convolutional = 2 };
    Kind kind = Kind::None;
    std::size_t rows = 0, cols = 0;        // Block
    std::size_t branches = 0, depth = 0;   // Convolutional

    static constexpr InterleaverKind none() { return {}; }
    static constexpr InterleaverKind block(std::size_t rows, std::size_t cols) {
        return {Kind::Block, rows, cols, 0, 0};
    }
    static constexpr InterleaverKind convolutional(std::size_t branches, std::size_t depth) {
        return {Kind::Convolutional, 0, 0, branches, depth};
    }

    friend constexpr bool operator==(const InterleaverKind& a, const InterleaverKind& b) {
        if (a.kind != b.kind) return false;
        switch (a.kind) {
            case Kind::Block: return a.rows == b.rows && a.cols == b.cols;
            case Kind::Convolutional: return a.branches == b.branches && a.depth == b.depth;
            case Kind::None: break;
        }
        return true;
    }
};

// The two places an interleaver can sit: after the outer code, after the inner code.
enum class InterleaverStage : std::uint8_t { Inner = 0, Outer = 1 };

}  // namespace kavro::fec
