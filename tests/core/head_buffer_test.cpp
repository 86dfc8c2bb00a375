#include "core/head_buffer.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

// Consuming in steps keeps exactly the unconsumed values, in order, whatever the steps.
TEST(HeadBuffer, KeepsTheUnconsumedValuesInOrder) {
    for (const std::size_t step : {1u, 3u, 7u, 50u}) {
        std::vector<int> values(100);
        std::iota(values.begin(), values.end(), 0);
        std::size_t head = 0;
        int first = 0;
        while (first + static_cast<int>(step) < 100) {
            kavro::drop_front(values, head, step);
            first += static_cast<int>(step);
            ASSERT_EQ(values.size() - head, static_cast<std::size_t>(100 - first));
            ASSERT_EQ(values[head], first);
            ASSERT_EQ(values.back(), 99);
            ASSERT_LT(head, values.size() / 2 + 1);  // the consumed front never outgrows the rest
        }
    }
}

TEST(HeadBuffer, ConsumingEverythingEmptiesAndKeepsTheStorage) {
    std::vector<int> values(64, 1);
    const auto* storage = values.data();
    std::size_t head = 10;
    kavro::drop_front(values, head, 60);  // beyond the end
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(head, 0u);
    EXPECT_GE(values.capacity(), 64u);
    values.push_back(2);
    EXPECT_EQ(values.data(), storage);
}

}  // namespace
