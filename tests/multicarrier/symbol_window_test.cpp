#include "multicarrier/symbol_window.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kavro {
namespace {

static_assert(BlockStage<SymbolWindow>);

TEST(SymbolWindow, TapersHeadAndTail) {
    auto window = SymbolWindow::create(6, 2);
    ASSERT_TRUE(window.has_value());
    ASSERT_EQ(window->taper().size(), 2u);
    EXPECT_NEAR(window->taper()[0], 0.1464466f, 1e-7);
    EXPECT_NEAR(window->taper()[1], 0.8535534f, 1e-7);

    const std::vector<Complex> ones(6, {1, 1});
    std::vector<Complex> out(6);
    ASSERT_EQ(window->process(ones, out), 6u);
    const float t0 = window->taper()[0], t1 = window->taper()[1];
    EXPECT_EQ(out, (std::vector<Complex>{{t0, t0}, {t1, t1}, {1, 1}, {1, 1}, {t1, t1}, {t0, t0}}));
}

TEST(SymbolWindow, TaperNeverReachesZeroOrOne) {
    const std::vector<float> taper = symbol_taper(64);
    for (std::size_t i = 0; i < taper.size(); ++i) {
        EXPECT_GT(taper[i], 0.0f);
        EXPECT_LT(taper[i], 1.0f);
        if (i > 0) {
            EXPECT_GT(taper[i], taper[i - 1]);
        }
    }
}

TEST(SymbolWindow, ZeroRollOffCopiesAndOverlapMultipliesTwice) {
    const std::vector<Complex> input{{1, 2}, {3, 4}, {5, 6}};
    std::vector<Complex> out(3);
    ASSERT_EQ(SymbolWindow::create(3, 0)->process(input, out), 3u);
    EXPECT_EQ(out, input);

    auto window = SymbolWindow::create(3, 3);
    ASSERT_EQ(window->process(input, out), 3u);
    const std::span<const float> t = window->taper();
    EXPECT_EQ(out[1], (input[1] * t[1]) * t[1]);
    EXPECT_EQ(out[0], (input[0] * t[0]) * t[2]);
}

TEST(SymbolWindow, RefusesARollOffLongerThanTheSymbol) {
    const auto window = SymbolWindow::create(80, 81);
    ASSERT_FALSE(window.has_value());
    EXPECT_EQ(error_message(window.error()), "SymbolWindow: roll_off (81) must not exceed the symbol length (80)");
}

TEST(SymbolWindow, ShortSlicesReturnZero) {
    auto window = SymbolWindow::create(4, 1);
    std::vector<Complex> in(4, {1, 0}), out(3, {9, 9});
    EXPECT_EQ(window->process(in, out), 0u);
    EXPECT_EQ(window->process(std::span(in).first(3), std::span(out).first(3)), 0u);
    EXPECT_EQ(out, std::vector<Complex>(3, {9, 9}));
}

}  // namespace
}  // namespace kavro
