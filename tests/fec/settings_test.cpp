#include "fec/settings_parse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace kavro::fec {
namespace {

TEST(SettingsParse, AcceptedKeywords) {
    EXPECT_EQ(parse_constellation("bpsk"), ConstellationOrder::Bpsk);
    EXPECT_EQ(parse_constellation("qpsk"), ConstellationOrder::Qpsk);
    EXPECT_EQ(parse_constellation("qam16"), ConstellationOrder::Qam16);
    EXPECT_EQ(parse_constellation("qam64"), ConstellationOrder::Qam64);
    EXPECT_EQ(parse_constellation("qam256"), ConstellationOrder::Qam256);
    EXPECT_EQ(parse_crc("none"), CrcKind::None);
    EXPECT_EQ(parse_crc("crc16"), CrcKind::Crc16);
    EXPECT_EQ(parse_crc("crc32"), CrcKind::Crc32);
    const char* rates[] = {"1/2", "2/3", "3/4", "5/6", "7/8"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(parse_puncture_rate(rates[i]), static_cast<PunctureRate>(i));
    const char* codes[] = {"n512r12", "n576r23", "n512r34"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parse_ldpc_code(codes[i]), static_cast<LdpcCode>(i));
    EXPECT_EQ(parse_interleaver_stage("inner"), InterleaverStage::Inner);
    EXPECT_EQ(parse_interleaver_stage("outer"), InterleaverStage::Outer);
    EXPECT_EQ(parse_scrambler_position("before_outer"), ScramblerPosition::BeforeOuter);
    EXPECT_EQ(parse_scrambler_position("after_inner"), ScramblerPosition::AfterInner);
    for (const char* k : {"kavro_sdr", "kavrosdr"}) EXPECT_EQ(parse_header_format(k), HeaderFormat::Native);
    for (const char* k : {"none", "no_header"}) EXPECT_EQ(parse_header_format(k), HeaderFormat::NoHeader);
    for (const char* k : {"dvb_tps", "dvbtps"}) EXPECT_EQ(parse_header_format(k), HeaderFormat::DvbTps);
}

TEST(SettingsParse, InnerFecKinds) {
    EXPECT_EQ(parse_inner_fec("none", "anything at all"), InnerFec::none());
    EXPECT_EQ(parse_inner_fec("ldpc", "n576r23"), InnerFec::ldpc(LdpcCode::N576R23));
    EXPECT_EQ(parse_inner_fec("conv", "2/3"), InnerFec::conv_k5(PunctureRate::R23));
    EXPECT_EQ(parse_inner_fec("convolutional", "1/2"), InnerFec::conv_k5(PunctureRate::R12));
    EXPECT_EQ(parse_inner_fec("dvb_t", "3/4"), InnerFec::conv_k7(PunctureRate::R34));
    EXPECT_EQ(parse_inner_fec("conv_k7", "7/8"), InnerFec::conv_k7(PunctureRate::R78));
    EXPECT_EQ(parse_inner_fec("convolutional_k7", "5/6"), InnerFec::conv_k7(PunctureRate::R56));
    EXPECT_NE(InnerFec::conv_k5(PunctureRate::R12), InnerFec::conv_k7(PunctureRate::R12));
}

TEST(SettingsParse, OuterFecKinds) {
    EXPECT_EQ(parse_outer_fec("none", 5, 6), OuterFec::none());
    EXPECT_EQ(parse_outer_fec("bch", 8, 99), OuterFec::bch(8));
    EXPECT_EQ(parse_outer_fec("rs", 255, 0), OuterFec::reed_solomon(255, 0));
    EXPECT_EQ(parse_outer_fec("reed_solomon", 40, 8), OuterFec::reed_solomon(40, 8));
}

TEST(SettingsParse, DecodeRulesKeepTheScaleOnlyWhenScaled) {
    const auto min_sum = parse_ldpc_decode_rule("min-sum", 0.5f);
    ASSERT_TRUE(min_sum.has_value());
    EXPECT_EQ(min_sum->kind, LdpcDecodeRule::Kind::MinSum);
    EXPECT_EQ(*min_sum, *parse_ldpc_decode_rule("min_sum", 0.9f));
    EXPECT_EQ(parse_ldpc_decode_rule("sum-product", 1.0f), parse_ldpc_decode_rule("sum_product", 2.0f));
    EXPECT_EQ(parse_ldpc_decode_rule("scaled-min-sum", 0.75f)->scale, 0.75f);
    EXPECT_NE(parse_ldpc_decode_rule("scaled_min_sum", 0.75f), parse_ldpc_decode_rule("scaled_min_sum", 0.5f));
    const auto nan_rule = parse_ldpc_decode_rule("scaled_min_sum", NAN);
    EXPECT_NE(*nan_rule, *nan_rule);
}

// The message of a rejected keyword, or a marker when it was accepted.
template <class T>
std::string rejection(const std::expected<T, KeywordError>& result) {
    return result ? std::string("<accepted>") : error_message(result.error());
}

TEST(SettingsParse, RejectionsQuoteTheKeyword) {
    EXPECT_EQ(rejection(parse_constellation("QPSK")),
              "OfdmConfig: unknown constellation \"QPSK\" (expected one of: bpsk, qpsk, qam16, qam64, qam256)");
    EXPECT_EQ(rejection(parse_crc("crc8")), "unknown CRC \"crc8\" (expected none|crc16|crc32)");
    EXPECT_EQ(rejection(parse_puncture_rate("1/3")), "unknown puncture rate \"1/3\" (expected 1/2|2/3|3/4|5/6|7/8)");
    EXPECT_EQ(rejection(parse_ldpc_code(" n512r12")),
              "unknown LDPC code \" n512r12\" (expected n512r12|n576r23|n512r34)");
    EXPECT_EQ(rejection(parse_inner_fec("LDPC", "n512r12")),
              "with_inner_fec: unknown kind \"LDPC\" (expected none|ldpc|convolutional|convolutional_k7)");
    EXPECT_EQ(rejection(parse_inner_fec("ldpc", "")), "unknown LDPC code \"\" (expected n512r12|n576r23|n512r34)");
    EXPECT_EQ(rejection(parse_inner_fec("conv", "")), "unknown puncture rate \"\" (expected 1/2|2/3|3/4|5/6|7/8)");
    EXPECT_EQ(rejection(parse_outer_fec("golay", 1, 2)),
              "with_outer_fec: unknown kind \"golay\" (expected none|bch|reed_solomon)");
    EXPECT_EQ(rejection(parse_interleaver_stage("middle")),
              "unknown interleaver stage \"middle\" (expected inner|outer)");
    EXPECT_EQ(rejection(parse_scrambler_position("after_outer\n")),
              "with_scrambler: unknown position \"after_outer\\n\" (expected before_outer|after_inner)");
    EXPECT_EQ(rejection(parse_header_format("say \"hi\"\\")),
              "with_header_format: unknown format \"say \\\"hi\\\"\\\\\" (expected kavro_sdr|none|dvb_tps)");
    EXPECT_EQ(rejection(parse_ldpc_decode_rule(std::string_view("min\0sum", 7), 0.75f)),
              "with_ldpc_decode_rule: unknown kind \"min\\0sum\" (expected sum_product|min_sum|scaled_min_sum)");
}

TEST(SettingsEquality, ComparesOnlyTheFieldsOfTheVariant) {
    EXPECT_EQ(ScramblerKind::lfsr(0x48, 7, ScramblerSeed::per_frame()),
              ScramblerKind::lfsr(0x48, 7, ScramblerSeed::per_frame()));
    EXPECT_NE(ScramblerKind::lfsr(0x48, 7, ScramblerSeed::fixed(1)), ScramblerKind::lfsr(0x48, 7, ScramblerSeed::fixed(2)));
    EXPECT_NE(ScramblerKind::lfsr(0x48, 7, ScramblerSeed::fixed(1)), ScramblerKind::lfsr(0x48, 8, ScramblerSeed::fixed(1)));
    EXPECT_NE(ScramblerKind::lfsr(0x48, 7, ScramblerSeed::fixed(0)), ScramblerKind::lfsr(0x48, 7, ScramblerSeed::per_frame()));
    EXPECT_NE(ScramblerKind::dvb_t(), ScramblerKind::none());
    EXPECT_EQ(InterleaverKind::block(4, 8), InterleaverKind::block(4, 8));
    EXPECT_NE(InterleaverKind::block(4, 8), InterleaverKind::convolutional(4, 8));
    EXPECT_NE(InterleaverKind::convolutional(12, 17), InterleaverKind::convolutional(12, 16));
    EXPECT_NE(OuterFec::bch(8), OuterFec::bch(9));
    EXPECT_NE(OuterFec::reed_solomon(255, 32), OuterFec::reed_solomon(255, 16));
    EXPECT_NE(InnerFec::ldpc(LdpcCode::N512R12), InnerFec::ldpc(LdpcCode::N512R34));
}

}  // namespace
}  // namespace kavro::fec
