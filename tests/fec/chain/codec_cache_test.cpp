#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/chain/codec_cache.hpp"
#include "fec/chain/tx_chain.hpp"

namespace {

using namespace kavro;

// Runs `call` and returns the internal fault's message ("" if none was raised).
template <class Call>
std::string fault_of(Call&& call) {
    try {
        call();
    } catch (const InternalFault& fault) {
        return fault.what();
    }
    return "";
}

TEST(CodecCache, RepeatedKeyReturnsTheSameCode) {
    fec::CodecCache cache;
    const auto rs = cache.rs(204, 16);
    EXPECT_EQ(cache.rs(204, 16), rs);
    EXPECT_EQ(rs->k(), 188u);
    EXPECT_NE(cache.rs(204, 18), rs);
    EXPECT_EQ(cache.rs(204, 18), cache.rs(204, 18));

    const auto bch = cache.bch(8);
    EXPECT_EQ(cache.bch(8), bch);
    EXPECT_NE(cache.bch(9), bch);

    const auto ldpc = cache.ldpc(fec::LdpcCode::N512R12);
    EXPECT_EQ(cache.ldpc(fec::LdpcCode::N512R12), ldpc);
    EXPECT_NE(cache.ldpc(fec::LdpcCode::N576R23), ldpc);
    EXPECT_EQ(ldpc->n(), 512u);
}

TEST(CodecCache, CodesOutliveTheCache) {
    std::shared_ptr<const fec::ReedSolomon> rs;
    {
        fec::CodecCache cache;
        rs = cache.rs(255, 32);
    }
    EXPECT_EQ(rs->n(), 255u);
    EXPECT_EQ(rs->encode(std::vector<std::uint8_t>(223, 0)).size(), 32u);
}

struct BchSize {
    std::size_t t;
    std::size_t n;
};

class CodecCacheBch : public ::testing::TestWithParam<BchSize> {};

// Every code carries 120 message bits, whatever its capability.
TEST_P(CodecCacheBch, ShortensToOneHundredTwentyMessageBits) {
    fec::CodecCache cache;
    const auto code = cache.bch(GetParam().t);
    EXPECT_EQ(code->k(), 120u);
    EXPECT_EQ(code->n(), GetParam().n);
    EXPECT_EQ(code->t(), GetParam().t);
}

INSTANTIATE_TEST_SUITE_P(Capabilities, CodecCacheBch,
                         ::testing::Values(BchSize{1, 128}, BchSize{7, 176}, BchSize{8, 184}, BchSize{9, 188},
                                           BchSize{15, 236}, BchSize{16, 244}, BchSize{18, 244}, BchSize{19, 252}));

TEST(CodecCache, FailedBuildPoisonsOnlyItsOwnList) {
    fec::CodecCache cache;
    const auto rs = cache.rs(204, 16);
    EXPECT_EQ(fault_of([&] { cache.bch(20); }), "valid shortened BCH: BadLength(260)");
    EXPECT_EQ(fault_of([&] { cache.bch(8); }), "codec cache list poisoned by an earlier failed build");
    EXPECT_EQ(fault_of([&] { cache.bch(20); }), "codec cache list poisoned by an earlier failed build");
    // The other lists still build and still hold their entries.
    EXPECT_EQ(cache.rs(204, 16), rs);
    EXPECT_EQ(cache.rs(60, 10)->k(), 50u);
    EXPECT_EQ(cache.ldpc(fec::LdpcCode::N512R34)->k(), 384u);

    fec::CodecCache other;
    EXPECT_EQ(fault_of([&] { other.rs(300, 16); }), "valid RS config: BadLength(300, 16)");
    EXPECT_EQ(fault_of([&] { other.rs(204, 16); }), "codec cache list poisoned by an earlier failed build");
    EXPECT_EQ(other.bch(8)->n(), 184u);

    fec::CodecCache third;
    EXPECT_EQ(fault_of([&] { third.bch(0); }), "valid BCH t: DesignTooLarge(0)");
}

// Two users racing for the same missing codes build each once: every thread holds the very same
// objects, and the codes the plan and the chain fetch are those as well.
TEST(CodecCache, ConcurrentUsersShareOneBuild) {
    const auto cache = std::make_shared<fec::CodecCache>();
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<const fec::Ldpc>> ldpc(kThreads);
    std::vector<std::shared_ptr<const fec::Bch>> bch(kThreads);
    std::vector<std::shared_ptr<const fec::ReedSolomon>> rs(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i, cache] {
            ldpc[i] = cache->ldpc(fec::LdpcCode::N576R23);
            bch[i] = cache->bch(12);
            rs[i] = cache->rs(204, 16);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(ldpc[i], ldpc[0]);
        EXPECT_EQ(bch[i], bch[0]);
        EXPECT_EQ(rs[i], rs[0]);
    }
    // The entry's own reference and one per thread.
    EXPECT_EQ(ldpc[0].use_count(), kThreads + 1);
    // A chain run takes references only for its own duration.
    const std::vector<std::uint8_t> payload(40, 0x5A);
    fec::encode_chain_stages(payload,
                             {.crc = fec::CrcKind::Crc32,
                              .outer = fec::OuterFec::bch(12),
                              .inner = fec::InnerFec::ldpc(fec::LdpcCode::N576R23)},
                             0, *cache);
    EXPECT_EQ(ldpc[0].use_count(), kThreads + 1);
    EXPECT_EQ(bch[0].use_count(), kThreads + 1);
}

}  // namespace
