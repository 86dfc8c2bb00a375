#pragma once

#include "fec/code_kinds.hpp"
#include "fec/frame.hpp"
#include "fec/settings.hpp"

// The settings of one coding chain, the same on both sides of a link: which stages run, with
// which codes and interleavers, and where the scrambler acts. Plain values; the behaviour lives
// in the transmit and receive chains.

namespace kavro::fec {

struct ChainSettings {
    CrcKind crc = CrcKind::None;
    OuterFec outer{};
    InnerFec inner{};
    InterleaverKind outer_interleaver{};
    InterleaverKind inner_interleaver{};
    ScramblerKind scrambler{};
    ScramblerPosition position = ScramblerPosition::BeforeOuter;
    LdpcDecodeRule ldpc_rule{};  // read by the receive chain only

    friend bool operator==(const ChainSettings&, const ChainSettings&) = default;
};

}  // namespace kavro::fec
