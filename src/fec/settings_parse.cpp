#include "fec/settings_parse.hpp"

#include <optional>
#include <utility>

#include "core/debug_quote.hpp"

namespace kavro::fec {

namespace {

template <class T>
using KeywordTable = std::initializer_list<std::pair<std::string_view, T>>;

template <class T>
std::optional<T> look_up(std::string_view keyword, KeywordTable<T> table) {
    for (const auto& [name, value] : table) {
        if (name == keyword) return value;
    }
    return std::nullopt;
}

template <class T>
std::expected<T, KeywordError> parse(std::string_view keyword, KeywordError::Kind on_error, KeywordTable<T> table) {
    if (auto value = look_up(keyword, table)) return *value;
    return std::unexpected(KeywordError{on_error, std::string(keyword)});
}

}  // namespace

std::string error_message(const KeywordError& error) {
    const std::string quoted = debug_quote(error.keyword);
    using K = KeywordError::Kind;
    switch (error.kind) {
        case K::Constellation:
            return "OfdmConfig: unknown constellation " + quoted + " (expected one of: bpsk, qpsk, qam16, qam64, qam256)";
        case K::Crc: return "unknown CRC " + quoted + " (expected none|crc16|crc32)";
        case K::PunctureRate: return "unknown puncture rate " + quoted + " (expected 1/2|2/3|3/4|5/6|7/8)";
        case K::LdpcCode: return "unknown LDPC code " + quoted + " (expected n512r12|n576r23|n512r34)";
        case K::InnerKind:
            return "with_inner_fec: unknown kind " + quoted + " (expected none|ldpc|convolutional|convolutional_k7)";
        case K::OuterKind: return "with_outer_fec: unknown kind " + quoted + " (expected none|bch|reed_solomon)";
        case K::InterleaverStage: return "unknown interleaver stage " + quoted + " (expected inner|outer)";
        case K::ScramblerPosition:
            return "with_scrambler: unknown position " + quoted + " (expected before_outer|after_inner)";
        case K::HeaderFormat:
            return "with_header_format: unknown format " + quoted + " (expected kavro_sdr|none|dvb_tps)";
        case K::LdpcDecodeRule:
            return "with_ldpc_decode_rule: unknown kind " + quoted + " (expected sum_product|min_sum|scaled_min_sum)";
    }
    return "unknown keyword " + quoted;
}

std::expected<ConstellationOrder, KeywordError> parse_constellation(std::string_view keyword) {
    using O = ConstellationOrder;
    return parse<O>(keyword, KeywordError::Kind::Constellation,
                    {{"bpsk", O::Bpsk}, {"qpsk", O::Qpsk}, {"qam16", O::Qam16}, {"qam64", O::Qam64}, {"qam256", O::Qam256}});
}

std::expected<CrcKind, KeywordError> parse_crc(std::string_view keyword) {
    return parse<CrcKind>(keyword, KeywordError::Kind::Crc,
                          {{"none", CrcKind::None}, {"crc16", CrcKind::Crc16}, {"crc32", CrcKind::Crc32}});
}

std::expected<PunctureRate, KeywordError> parse_puncture_rate(std::string_view keyword) {
    using R = PunctureRate;
    return parse<R>(keyword, KeywordError::Kind::PunctureRate,
                    {{"1/2", R::R12}, {"2/3", R::R23}, {"3/4", R::R34}, {"5/6", R::R56}, {"7/8", R::R78}});
}

std::expected<LdpcCode, KeywordError> parse_ldpc_code(std::string_view keyword) {
    using C = LdpcCode;
    return parse<C>(keyword, KeywordError::Kind::LdpcCode,
                    {{"n512r12", C::N512R12}, {"n576r23", C::N576R23}, {"n512r34", C::N512R34}});
}

std::expected<InterleaverStage, KeywordError> parse_interleaver_stage(std::string_view keyword) {
    return parse<InterleaverStage>(keyword, KeywordError::Kind::InterleaverStage,
                                   {{"inner", InterleaverStage::Inner}, {"outer", InterleaverStage::Outer}});
}

std::expected<ScramblerPosition, KeywordError> parse_scrambler_position(std::string_view keyword) {
    return parse<ScramblerPosition>(
        keyword, KeywordError::Kind::ScramblerPosition,
        {{"before_outer", ScramblerPosition::BeforeOuter}, {"after_inner", ScramblerPosition::AfterInner}});
}

std::expected<HeaderFormat, KeywordError> parse_header_format(std::string_view keyword) {
    using H = HeaderFormat;
    return parse<H>(keyword, KeywordError::Kind::HeaderFormat,
                    {{"kavro_sdr", H::Native}, {"kavrosdr", H::Native}, {"none", H::NoHeader},
                     {"no_header", H::NoHeader}, {"dvb_tps", H::DvbTps}, {"dvbtps", H::DvbTps}});
}

std::expected<InnerFec, KeywordError> parse_inner_fec(std::string_view kind, std::string_view code) {
    using K = InnerFec::Kind;
    const auto parsed_kind = parse<K>(kind, KeywordError::Kind::InnerKind,
                                      {{"none", K::None}, {"ldpc", K::Ldpc}, {"convolutional", K::ConvK5},
                                       {"conv", K::ConvK5}, {"convolutional_k7", K::ConvK7}, {"conv_k7", K::ConvK7},
                                       {"dvb_t", K::ConvK7}});
    if (!parsed_kind) return std::unexpected(parsed_kind.error());
    switch (*parsed_kind) {
        case K::None: return InnerFec::none();
        case K::Ldpc: {
            const auto ldpc_code = parse_ldpc_code(code);
            if (!ldpc_code) return std::unexpected(ldpc_code.error());
            return InnerFec::ldpc(*ldpc_code);
        }
        case K::ConvK5:
        case K::ConvK7: {
            const auto rate = parse_puncture_rate(code);
            if (!rate) return std::unexpected(rate.error());
            return *parsed_kind == K::ConvK5 ? InnerFec::conv_k5(*rate) : InnerFec::conv_k7(*rate);
        }
    }
    return InnerFec::none();
}

std::expected<OuterFec, KeywordError> parse_outer_fec(std::string_view kind, std::size_t a, std::size_t b) {
    using K = OuterFec::Kind;
    const auto parsed_kind = parse<K>(kind, KeywordError::Kind::OuterKind,
                                      {{"none", K::None}, {"bch", K::Bch}, {"reed_solomon", K::ReedSolomon},
                                       {"rs", K::ReedSolomon}});
    if (!parsed_kind) return std::unexpected(parsed_kind.error());
    switch (*parsed_kind) {
        case K::None: return OuterFec::none();
        case K::Bch: return OuterFec::bch(a);
        case K::ReedSolomon: return OuterFec::reed_solomon(a, b);
    }
    return OuterFec::none();
}

std::expected<LdpcDecodeRule, KeywordError> parse_ldpc_decode_rule(std::string_view kind, float scale) {
    using K = LdpcDecodeRule::Kind;
    const auto parsed_kind = parse<K>(kind, KeywordError::Kind::LdpcDecodeRule,
                                      {{"sum_product", K::SumProduct}, {"sum-product", K::SumProduct},
                                       {"min_sum", K::MinSum}, {"min-sum", K::MinSum},
                                       {"scaled_min_sum", K::ScaledMinSum}, {"scaled-min-sum", K::ScaledMinSum}});
    if (!parsed_kind) return std::unexpected(parsed_kind.error());
    return LdpcDecodeRule{*parsed_kind, *parsed_kind == K::ScaledMinSum ? scale : 0.0f};
}

}  // namespace kavro::fec
