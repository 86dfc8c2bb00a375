#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/constellation.hpp"
#include "fec/settings.hpp"

// The modulation-and-coding table: the one-byte mcs_index of a frame header names an entry,
// which gives the payload's constellation, inner code and outer code. Sender and receiver must
// hold the same entries in the same order. Entries are only ever appended.

namespace kavro::fec {

struct Mcs {
    ConstellationOrder constellation = ConstellationOrder::Bpsk;
    InnerFec inner{};
    OuterFec outer{};

    friend constexpr bool operator==(const Mcs&, const Mcs&) = default;
};

struct McsTableError {
    enum class Kind : std::uint8_t {
        Constellation,  // keyword: the constellation word
        InnerKind,      // keyword: the inner_kind word
        OuterKind,      // keyword: the outer_kind word
        LdpcCode,       // keyword: the inner_code word
        PunctureRate,   // keyword: the inner_code word
        BchT,           // a: t
        ReedSolomon,    // a: n, b: n_parity
    };
    Kind kind;
    std::string keyword;
    std::size_t a = 0;
    std::size_t b = 0;

    friend bool operator==(const McsTableError&, const McsTableError&) = default;
};

// E.g. "McsTable.add: unknown constellation \"QPSK\"" or "unknown LDPC code \"\"".
std::string error_message(const McsTableError& error);

class McsTable {
public:
    McsTable() = default;

    // BPSK, QPSK, 16-QAM and 64-QAM, each with LDPC "n512r12" inside BCH t = 8.
    static McsTable default_ladder();

    // Parses the keywords and appends one entry; on any failure the table is unchanged.
    //   constellation: "bpsk" | "qpsk" | "qam16" | "qam64" | "qam256"
    //   inner_kind: "none" (inner_code ignored) | "ldpc" (inner_code: "n512r12" | "n576r23" |
    //     "n512r34") | "convolutional", "conv" (K = 5) | "convolutional_k7", "conv_k7", "dvb_t"
    //     (K = 7), inner_code then being the rate "1/2" | "2/3" | "3/4" | "5/6" | "7/8"
    //   outer_kind: "none" (outer_a, outer_b ignored) | "bch" (t = outer_a, 1..=19; outer_b
    //     ignored) | "reed_solomon", "rs" (n = outer_a, n_parity = outer_b, 1 <= n <= 255,
    //     n_parity < n)
    // Codes the codec cache could not build are refused here, so that a frame using the entry
    // cannot fail later.
    std::expected<void, McsTableError> add(std::string_view constellation, std::string_view inner_kind = "none",
                                           std::string_view inner_code = "", std::string_view outer_kind = "none",
                                           std::size_t outer_a = 0, std::size_t outer_b = 0);

    std::size_t len() const { return entries_.size(); }
    std::span<const Mcs> entries() const { return entries_; }

private:
    std::vector<Mcs> entries_;
};

}  // namespace kavro::fec
