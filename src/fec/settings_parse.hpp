#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/constellation.hpp"
#include "fec/code_kinds.hpp"
#include "fec/frame.hpp"
#include "fec/settings.hpp"

// Keyword parsers of the coding-chain settings. Keywords match exactly and case-sensitively;
// a rejected keyword is echoed in its debug form.

namespace kavro::fec {

struct KeywordError {
    enum class Kind : std::uint8_t {
        Constellation,
        Crc,
        PunctureRate,
        LdpcCode,
        InnerKind,
        OuterKind,
        InterleaverStage,
        ScramblerPosition,
        HeaderFormat,
        LdpcDecodeRule,
    };
    Kind kind;
    std::string keyword;  // the rejected text, as given

    friend bool operator==(const KeywordError&, const KeywordError&) = default;
};

std::string error_message(const KeywordError& error);

std::expected<ConstellationOrder, KeywordError> parse_constellation(std::string_view keyword);
std::expected<CrcKind, KeywordError> parse_crc(std::string_view keyword);
std::expected<PunctureRate, KeywordError> parse_puncture_rate(std::string_view keyword);
std::expected<LdpcCode, KeywordError> parse_ldpc_code(std::string_view keyword);
std::expected<InterleaverStage, KeywordError> parse_interleaver_stage(std::string_view keyword);
std::expected<ScramblerPosition, KeywordError> parse_scrambler_position(std::string_view keyword);
std::expected<HeaderFormat, KeywordError> parse_header_format(std::string_view keyword);

// The kind first; "none" ignores code, "ldpc" reads it as an LDPC code and the convolutional
// kinds as a puncture rate.
std::expected<InnerFec, KeywordError> parse_inner_fec(std::string_view kind, std::string_view code);

// "bch" takes t = a (b ignored); "reed_solomon"/"rs" take n = a and n_parity = b. Sizes are
// checked later, by the frame validation.
std::expected<OuterFec, KeywordError> parse_outer_fec(std::string_view kind, std::size_t a, std::size_t b);

// scale is kept only by the scaled min-sum rule.
std::expected<LdpcDecodeRule, KeywordError> parse_ldpc_decode_rule(std::string_view kind, float scale);

}  // namespace kavro::fec
