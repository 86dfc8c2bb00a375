#include <gtest/gtest.h>

#include <string>

#include "fec/chain/codec_cache.hpp"
#include "fec/chain/mcs_table.hpp"

namespace {

using namespace kavro;
using fec::InnerFec;
using fec::LdpcCode;
using fec::OuterFec;
using fec::PunctureRate;
using O = ConstellationOrder;

struct AddCall {
    std::string constellation;
    std::string inner_kind = "none";
    std::string inner_code = "";
    std::string outer_kind = "none";
    std::size_t a = 0;
    std::size_t b = 0;
};

auto call_add(fec::McsTable& table, const AddCall& c) {
    return table.add(c.constellation, c.inner_kind, c.inner_code, c.outer_kind, c.a, c.b);
}

TEST(McsTable, StartsEmptyAndCountsOnlySuccessfulAdds) {
    fec::McsTable table;
    EXPECT_EQ(table.len(), 0u);
    ASSERT_TRUE(table.add("bpsk"));
    ASSERT_TRUE(table.add("qam64", "ldpc", "n512r34", "rs", 204, 16));
    EXPECT_FALSE(table.add("QPSK"));
    EXPECT_FALSE(table.add("qpsk", "ldpc"));
    EXPECT_FALSE(table.add("qpsk", "ldpc", "n512r12", "bch", 0));
    EXPECT_EQ(table.len(), 2u);
    EXPECT_EQ(table.entries()[1],
              (fec::Mcs{O::Qam64, InnerFec::ldpc(LdpcCode::N512R34), OuterFec::reed_solomon(204, 16)}));
}

TEST(McsTable, DefaultLadder) {
    const fec::McsTable ladder = fec::McsTable::default_ladder();
    ASSERT_EQ(ladder.len(), 4u);
    const InnerFec inner = InnerFec::ldpc(LdpcCode::N512R12);
    const O orders[] = {O::Bpsk, O::Qpsk, O::Qam16, O::Qam64};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(ladder.entries()[i], (fec::Mcs{orders[i], inner, OuterFec::bch(8)}));
}

struct Accepted {
    AddCall call;
    fec::Mcs entry;
};

class McsTableAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(McsTableAccepts, StoresTheParsedEntry) {
    fec::McsTable table;
    const auto result = call_add(table, GetParam().call);
    ASSERT_TRUE(result) << error_message(result.error());
    ASSERT_EQ(table.len(), 1u);
    EXPECT_EQ(table.entries()[0], GetParam().entry);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, McsTableAccepts,
    ::testing::Values(
        Accepted{{"qam256"}, {O::Qam256, {}, {}}},
        Accepted{{"bpsk", "none", "n512r12"}, {O::Bpsk, {}, {}}},
        Accepted{{"qpsk", "none", "anything", "none", 7, 9}, {O::Qpsk, {}, {}}},
        Accepted{{"bpsk", "conv", "1/2"}, {O::Bpsk, InnerFec::conv_k5(PunctureRate::R12), {}}},
        Accepted{{"qam16", "convolutional", "5/6"}, {O::Qam16, InnerFec::conv_k5(PunctureRate::R56), {}}},
        Accepted{{"bpsk", "dvb_t", "7/8"}, {O::Bpsk, InnerFec::conv_k7(PunctureRate::R78), {}}},
        Accepted{{"qpsk", "conv_k7", "2/3"}, {O::Qpsk, InnerFec::conv_k7(PunctureRate::R23), {}}},
        Accepted{{"qpsk", "convolutional_k7", "3/4"}, {O::Qpsk, InnerFec::conv_k7(PunctureRate::R34), {}}},
        Accepted{{"qpsk", "ldpc", "n576r23", "bch", 8, 99}, {O::Qpsk, InnerFec::ldpc(LdpcCode::N576R23), OuterFec::bch(8)}},
        Accepted{{"qam64", "ldpc", "n512r12", "bch", 19}, {O::Qam64, InnerFec::ldpc(LdpcCode::N512R12), OuterFec::bch(19)}},
        Accepted{{"bpsk", "ldpc", "n512r12", "rs", 255, 32},
                 {O::Bpsk, InnerFec::ldpc(LdpcCode::N512R12), OuterFec::reed_solomon(255, 32)}},
        Accepted{{"bpsk", "none", "", "reed_solomon", 1, 0}, {O::Bpsk, {}, OuterFec::reed_solomon(1, 0)}},
        Accepted{{"bpsk", "none", "", "rs", 60, 11}, {O::Bpsk, {}, OuterFec::reed_solomon(60, 11)}}));

struct Refused {
    AddCall call;
    std::string message;
};

class McsTableRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(McsTableRefuses, WithItsMessageAndLeavesTheTableUnchanged) {
    fec::McsTable table;
    ASSERT_TRUE(table.add("bpsk"));
    const auto result = call_add(table, GetParam().call);
    ASSERT_FALSE(result);
    EXPECT_EQ(error_message(result.error()), GetParam().message);
    EXPECT_EQ(table.len(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, McsTableRefuses,
    ::testing::Values(
        Refused{{"QPSK"}, "McsTable.add: unknown constellation \"QPSK\""},
        Refused{{" bpsk"}, "McsTable.add: unknown constellation \" bpsk\""},
        Refused{{"", "LDPC"}, "McsTable.add: unknown constellation \"\""},
        Refused{{"bpsk", "LDPC", "n512r12"}, "McsTable.add: unknown inner FEC \"LDPC\""},
        Refused{{"bpsk", "ldpc"}, "unknown LDPC code \"\""},
        Refused{{"bpsk", "ldpc", "n512\"r12"}, "unknown LDPC code \"n512\\\"r12\""},
        Refused{{"bpsk", "conv"}, "unknown puncture rate \"\""},
        Refused{{"bpsk", "dvb_t", "1/3\n"}, "unknown puncture rate \"1/3\\n\""},
        Refused{{"bpsk", "ldpc", "n512r12", "BCH", 8}, "McsTable.add: unknown outer FEC \"BCH\""},
        Refused{{"bpsk", "ldpc", "n512r12", "bch", 0}, "McsTable.add: BCH t must be in 1..=19 (got 0)"},
        Refused{{"bpsk", "ldpc", "n512r12", "bch", 20}, "McsTable.add: BCH t must be in 1..=19 (got 20)"},
        Refused{{"bpsk", "none", "", "rs", 0, 0}, "McsTable.add: invalid Reed\u2013Solomon (n, n_parity) = (0, 0)"},
        Refused{{"bpsk", "none", "", "rs", 256, 16}, "McsTable.add: invalid Reed\u2013Solomon (n, n_parity) = (256, 16)"},
        Refused{{"bpsk", "none", "", "reed_solomon", 204, 204},
                "McsTable.add: invalid Reed\u2013Solomon (n, n_parity) = (204, 204)"},
        // The keyword errors come first: a bad inner code beats a bad outer range.
        Refused{{"bpsk", "conv", "1/1", "bch", 0}, "unknown puncture rate \"1/1\""}));

// Whatever the table accepts, the codec cache can build.
TEST(McsTable, AcceptedOuterCodesBuild) {
    fec::CodecCache cache;
    for (std::size_t t = 1; t <= 19; ++t) {
        fec::McsTable table;
        ASSERT_TRUE(table.add("bpsk", "none", "", "bch", t));
        EXPECT_EQ(cache.bch(table.entries()[0].outer.t)->k(), 120u);
    }
    for (const auto& [n, n_parity] : {std::pair<std::size_t, std::size_t>{1, 0}, {255, 254}, {255, 0}, {17, 3}}) {
        fec::McsTable table;
        ASSERT_TRUE(table.add("bpsk", "none", "", "rs", n, n_parity));
        EXPECT_EQ(cache.rs(n, n_parity)->n(), n);
    }
}

}  // namespace
