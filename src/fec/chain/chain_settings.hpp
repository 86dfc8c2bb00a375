#pragma once

#include "fec/code_kinds.hpp"
#include "fec/frame.hpp"
#include "fec/settings.hpp"

// The settings of one coding chain, the same on both sides of a link: which stages run, with
// which codes and interleavers, and where the scrambler acts. Plain values; the behaviour lives
// in the transmit and receive chains.

namespace kavro {

struct ChainSettings {
    fec::CrcKind crc = fec::CrcKind::None;
    fec::OuterFec outer{};
    fec::InnerFec inner{};
    fec::InterleaverKind outer_interleaver{};
    fec::InterleaverKind inner_interleaver{};
    fec::ScramblerKind scrambler{};
    fec::ScramblerPosition position = fec::ScramblerPosition::BeforeOuter;
    fec::LdpcDecodeRule ldpc_rule{};  // read by the receive chain only

    friend bool operator==(const ChainSettings&, const ChainSettings&) = default;
};

}  // namespace kavro
