#include "fec/chain/mcs_table.hpp"

#include <initializer_list>
#include <optional>
#include <utility>

#include "core/debug_quote.hpp"

namespace kavro::fec {

namespace {

// Largest BCH capability whose 120-bit shortened code still fits in 255 bits.
constexpr std::size_t max_bch_t = 19;

template <class T>
std::optional<T> look_up(std::string_view word, std::initializer_list<std::pair<std::string_view, T>> table) {
    for (const auto& [name, value] : table) {
        if (name == word) return value;
    }
    return std::nullopt;
}

std::optional<ConstellationOrder> parse_constellation(std::string_view word) {
    using O = ConstellationOrder;
    return look_up<O>(word, {{"bpsk", O::Bpsk}, {"qpsk", O::Qpsk}, {"qam16", O::Qam16}, {"qam64", O::Qam64},
                             {"qam256", O::Qam256}});
}

std::optional<LdpcCode> parse_ldpc(std::string_view word) {
    using C = LdpcCode;
    return look_up<C>(word, {{"n512r12", C::N512R12}, {"n576r23", C::N576R23}, {"n512r34", C::N512R34}});
}

std::optional<PunctureRate> parse_rate(std::string_view word) {
    using R = PunctureRate;
    return look_up<R>(word, {{"1/2", R::R12}, {"2/3", R::R23}, {"3/4", R::R34}, {"5/6", R::R56}, {"7/8", R::R78}});
}

enum class InnerWord : std::uint8_t { None, Ldpc, ConvK5, ConvK7 };
enum class OuterWord : std::uint8_t { None, Bch, ReedSolomon };

McsTableError keyword_error(McsTableError::Kind kind, std::string_view word) {
    return McsTableError{kind, std::string(word), 0, 0};
}

}  // namespace

std::string error_message(const McsTableError& error) {
    using K = McsTableError::Kind;
    switch (error.kind) {
        case K::Constellation: return "McsTable.add: unknown constellation " + debug_quote(error.keyword);
        case K::InnerKind: return "McsTable.add: unknown inner FEC " + debug_quote(error.keyword);
        case K::OuterKind: return "McsTable.add: unknown outer FEC " + debug_quote(error.keyword);
        case K::LdpcCode: return "unknown LDPC code " + debug_quote(error.keyword);
        case K::PunctureRate: return "unknown puncture rate " + debug_quote(error.keyword);
        case K::BchT: return "McsTable.add: BCH t must be in 1..=19 (got " + std::to_string(error.a) + ")";
        case K::ReedSolomon:
            return "McsTable.add: invalid Reed\u2013Solomon (n, n_parity) = (" + std::to_string(error.a) + ", " +
                   std::to_string(error.b) + ")";
    }
    return "McsTable.add: invalid entry";
}

McsTable McsTable::default_ladder() {
    McsTable table;
    const InnerFec inner = InnerFec::ldpc(LdpcCode::N512R12);
    const OuterFec outer = OuterFec::bch(8);
    for (const ConstellationOrder order :
         {ConstellationOrder::Bpsk, ConstellationOrder::Qpsk, ConstellationOrder::Qam16, ConstellationOrder::Qam64}) {
        table.entries_.push_back(Mcs{order, inner, outer});
    }
    return table;
}

std::expected<void, McsTableError> McsTable::add(std::string_view constellation, std::string_view inner_kind,
                                                 std::string_view inner_code, std::string_view outer_kind,
                                                 std::size_t outer_a, std::size_t outer_b) {
    using K = McsTableError::Kind;
    Mcs entry;

    const auto order = parse_constellation(constellation);
    if (!order) return std::unexpected(keyword_error(K::Constellation, constellation));
    entry.constellation = *order;

    const auto inner_word = look_up<InnerWord>(inner_kind, {{"none", InnerWord::None},
                                                            {"ldpc", InnerWord::Ldpc},
                                                            {"convolutional", InnerWord::ConvK5},
                                                            {"conv", InnerWord::ConvK5},
                                                            {"convolutional_k7", InnerWord::ConvK7},
                                                            {"conv_k7", InnerWord::ConvK7},
                                                            {"dvb_t", InnerWord::ConvK7}});
    if (!inner_word) return std::unexpected(keyword_error(K::InnerKind, inner_kind));
    if (*inner_word == InnerWord::Ldpc) {
        const auto code = parse_ldpc(inner_code);
        if (!code) return std::unexpected(keyword_error(K::LdpcCode, inner_code));
        entry.inner = InnerFec::ldpc(*code);
    } else if (*inner_word != InnerWord::None) {
        const auto rate = parse_rate(inner_code);
        if (!rate) return std::unexpected(keyword_error(K::PunctureRate, inner_code));
        entry.inner = *inner_word == InnerWord::ConvK5 ? InnerFec::conv_k5(*rate) : InnerFec::conv_k7(*rate);
    }

    const auto outer_word = look_up<OuterWord>(outer_kind, {{"none", OuterWord::None},
                                                            {"bch", OuterWord::Bch},
                                                            {"reed_solomon", OuterWord::ReedSolomon},
                                                            {"rs", OuterWord::ReedSolomon}});
    if (!outer_word) return std::unexpected(keyword_error(K::OuterKind, outer_kind));
    switch (*outer_word) {
        case OuterWord::None: break;
        case OuterWord::Bch:
            if (outer_a < 1 || outer_a > max_bch_t) return std::unexpected(McsTableError{K::BchT, {}, outer_a, 0});
            entry.outer = OuterFec::bch(outer_a);
            break;
        case OuterWord::ReedSolomon:
            if (outer_a < 1 || outer_a > 255 || outer_b >= outer_a) {
                return std::unexpected(McsTableError{K::ReedSolomon, {}, outer_a, outer_b});
            }
            entry.outer = OuterFec::reed_solomon(outer_a, outer_b);
            break;
    }

    entries_.push_back(entry);
    return {};
}

}  // namespace kavro::fec
