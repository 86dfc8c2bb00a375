#pragma once

#include <cstddef>
#include <cstdint>

#include "fec/code_kinds.hpp"

// Coding-chain settings held by the OFDM configuration and the modulation-and-coding table:
// plain values whose behaviour lives in the codes and chains.

namespace kavro::fec {

enum class CrcKind : std::uint8_t { None = 0, Crc16 = 1, Crc32 = 2 };

// Native: the 14-byte frame header; NoHeader: frames carry none; DvbTps: DVB-T TPS signalling.
enum class HeaderFormat : std::uint8_t { Native = 0, NoHeader = 1, DvbTps = 2 };

struct OuterFec {
    enum class Kind : std::uint8_t { None = 0, Bch = 1, ReedSolomon = 2 };
    Kind kind = Kind::None;
    std::size_t t = 0;                  // Bch: correctable bit errors per codeword
    std::size_t n = 0, n_parity = 0;    // ReedSolomon: codeword and parity bytes

    static constexpr OuterFec none() { return {}; }
    static constexpr OuterFec bch(std::size_t t) { return {Kind::Bch, t, 0, 0}; }
    static constexpr OuterFec reed_solomon(std::size_t n, std::size_t n_parity) {
        return {Kind::ReedSolomon, 0, n, n_parity};
    }

    friend constexpr bool operator==(const OuterFec& a, const OuterFec& b) {
        if (a.kind != b.kind) return false;
        switch (a.kind) {
            case Kind::Bch: return a.t == b.t;
            case Kind::ReedSolomon: return a.n == b.n && a.n_parity == b.n_parity;
            case Kind::None: break;
        }
        return true;
    }
};

struct InnerFec {
    // ConvK5: the constraint-length-5 convolutional code; ConvK7: DVB-T's constraint length 7.
    enum class Kind : std::uint8_t { None = 0, Ldpc = 1, ConvK5 = 2, ConvK7 = 3 };
    Kind kind = Kind::None;
    LdpcCode code = LdpcCode::N512R12;   // Ldpc
    PunctureRate rate = PunctureRate::R12;  // ConvK5, ConvK7

    static constexpr InnerFec none() { return {}; }
    static constexpr InnerFec ldpc(LdpcCode code) { return {Kind::Ldpc, code, PunctureRate::R12}; }
    static constexpr InnerFec conv_k5(PunctureRate rate) { return {Kind::ConvK5, LdpcCode::N512R12, rate}; }
    static constexpr InnerFec conv_k7(PunctureRate rate) { return {Kind::ConvK7, LdpcCode::N512R12, rate}; }

    friend constexpr bool operator==(const InnerFec& a, const InnerFec& b) {
        if (a.kind != b.kind) return false;
        switch (a.kind) {
            case Kind::Ldpc: return a.code == b.code;
            case Kind::ConvK5:
            case Kind::ConvK7: return a.rate == b.rate;
            case Kind::None: break;
        }
        return true;
    }
};

}  // namespace kavro::fec
