#include "multicarrier/symbol_fft.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/internal_fault.hpp"
#include "multicarrier/cyclic_prefix.hpp"

namespace kavro {
namespace {

std::vector<Complex> ramp(std::size_t n) {
    std::vector<Complex> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = {static_cast<float>(i) + 1.0f, 0.5f * static_cast<float>(i)};
    return x;
}

TEST(CyclicPrefix, PrependsTheTail) {
    const std::vector<Complex> symbol{{1, 0}, {2, 0}, {3, 0}, {4, 0}};
    std::vector<Complex> out(5);
    ASSERT_EQ(add_cyclic_prefix(symbol, 1, out), 5u);
    EXPECT_EQ(out, (std::vector<Complex>{{4, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}));

    std::vector<Complex> no_prefix(4);
    ASSERT_EQ(add_cyclic_prefix(symbol, 0, no_prefix), 4u);
    EXPECT_EQ(no_prefix, symbol);

    std::vector<Complex> short_out(4, {9, 9});
    EXPECT_EQ(add_cyclic_prefix(symbol, 1, short_out), 0u);
    EXPECT_EQ(short_out, std::vector<Complex>(4, {9, 9}));
    EXPECT_THROW(add_cyclic_prefix(symbol, 5, out), InternalFault);
}

TEST(CyclicPrefix, RemovalCopiesTheBody) {
    const std::vector<Complex> symbol{{4, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}};
    std::vector<Complex> out(4);
    ASSERT_EQ(remove_cyclic_prefix(symbol, 4, 1, out), 4u);
    EXPECT_EQ(out, (std::vector<Complex>{{1, 0}, {2, 0}, {3, 0}, {4, 0}}));

    std::vector<Complex> untouched(4, {9, 9});
    EXPECT_EQ(remove_cyclic_prefix(std::span(symbol).first(4), 4, 1, untouched), 0u);
    EXPECT_EQ(remove_cyclic_prefix(symbol, 4, SIZE_MAX, untouched), 0u);
    EXPECT_EQ(untouched, std::vector<Complex>(4, {9, 9}));
}

TEST(SymbolFft, TransformsTheBodyAfterThePrefix) {
    const std::vector<Complex> body = ramp(8);
    std::vector<Complex> symbol(10);
    add_cyclic_prefix(body, 2, symbol);

    FftBlock fft(8);
    std::vector<Complex> want(8);
    fft.process(body, want);

    SymbolFft stage(8, 2);
    const auto bins = stage.process_symbol(symbol);
    ASSERT_TRUE(bins.has_value());
    EXPECT_TRUE(std::equal(bins->begin(), bins->end(), want.begin()));
    EXPECT_FALSE(stage.process_symbol(std::span(symbol).first(9)).has_value());
}

TEST(SymbolFft, BackoffTurnsEachBinByItsPhaseRamp) {
    const std::vector<Complex> body = ramp(8);
    std::vector<Complex> symbol(10);
    add_cyclic_prefix(body, 2, symbol);

    SymbolFft plain(8, 2);
    const auto plain_bins = plain.process_symbol(symbol);
    const std::vector<Complex> unshifted(plain_bins->begin(), plain_bins->end());

    SymbolFft early(8, 2);
    early.set_backoff(1);
    const auto shifted = early.process_symbol(symbol);
    ASSERT_TRUE(shifted.has_value());

    FftBlock fft(8);
    std::vector<Complex> direct(8);
    fft.process(std::span(symbol).subspan(1, 8), direct);
    for (std::size_t k = 0; k < 8; ++k) {
        EXPECT_EQ((*shifted)[k], direct[k]) << k;
        const float angle = -2.0f * static_cast<float>(M_PI) * static_cast<float>(k) / 8.0f;
        const Complex turned = unshifted[k] * Complex{std::cos(angle), std::sin(angle)};
        EXPECT_NEAR((*shifted)[k].re, turned.re, 1e-4) << k;
        EXPECT_NEAR((*shifted)[k].im, turned.im, 1e-4) << k;
    }
}

TEST(SymbolFft, BackoffIsCappedAtThePrefix) {
    SymbolFft stage(64, 16);
    stage.set_backoff(100);
    EXPECT_EQ(stage.backoff(), 16u);
    stage.set_backoff(3);
    EXPECT_EQ(stage.backoff(), 3u);
}

}  // namespace
}  // namespace kavro
