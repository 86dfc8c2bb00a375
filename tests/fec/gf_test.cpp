#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "core/internal_fault.hpp"
#include "fec/gf.hpp"

namespace {

using kavro::fec::Gf256;

// Carry-less multiplication reduced by the field polynomial, one bit at a time.
std::uint8_t slow_multiply(unsigned a, unsigned b) {
    unsigned r = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) r ^= a;
        a <<= 1;
        if (a & 0x100) a ^= 0x11D;
    }
    return static_cast<std::uint8_t>(r);
}

TEST(Gf256, TablesHoldKnownPowersAndLogarithms) {
    const Gf256& gf = Gf256::shared();
    EXPECT_EQ(gf.exp(0), 1);
    EXPECT_EQ(gf.exp(1), 2);
    EXPECT_EQ(gf.exp(8), 0x1D);
    EXPECT_EQ(gf.exp(255), 1);
    EXPECT_EQ(gf.exp(510), 1);
    EXPECT_EQ(gf.exp(511), 2);
    EXPECT_EQ(gf.log(2), 1);
    EXPECT_EQ(gf.log(0x1D), 8);
    for (unsigned i = 0; i < 512; ++i) ASSERT_EQ(gf.exp(i), gf.exp(i % 255)) << i;
    for (unsigned i = 0; i < 255; ++i) ASSERT_EQ(gf.log(gf.exp(i)), i) << i;
}

TEST(Gf256, OperationsMatchPolynomialArithmetic) {
    const Gf256& gf = Gf256::shared();
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b) {
            const auto x = static_cast<std::uint8_t>(a), y = static_cast<std::uint8_t>(b);
            ASSERT_EQ(gf.multiply(x, y), slow_multiply(a, b)) << a << " * " << b;
            if (b != 0) {
                ASSERT_EQ(gf.multiply(gf.divide(x, y), y), x) << a << " / " << b;
            }
        }
    for (unsigned a = 1; a < 256; ++a)
        EXPECT_EQ(gf.multiply(gf.inverse(static_cast<std::uint8_t>(a)), static_cast<std::uint8_t>(a)), 1);
    EXPECT_THROW(
        {
            try {
                (void)gf.inverse(0);
            } catch (const kavro::InternalFault& fault) {
                EXPECT_STREQ(fault.what(), "GF(2^8) inverse of zero");
                throw;
            }
        },
        kavro::InternalFault);
}

TEST(Gf256, SharedTablesAreOneObjectAcrossThreads) {
    std::vector<const Gf256*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &Gf256::shared(); });
    for (auto& th : threads) th.join();
    for (const Gf256* p : seen) EXPECT_EQ(p, &Gf256::shared());
}

}  // namespace
