#include <gtest/gtest.h>

#include "core/debug_quote.hpp"

TEST(DebugQuote, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(kavro::debug_quote(""), "\"\"");
    EXPECT_EQ(kavro::debug_quote("LDPC"), "\"LDPC\"");
    EXPECT_EQ(kavro::debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(kavro::debug_quote(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(kavro::debug_quote("\x01\x1f\x7f"), "\"\\u{1}\\u{1f}\\u{7f}\"");
    EXPECT_EQ(kavro::debug_quote("\xc2\x85|\xc2\xa0|\xc3\xa9"), "\"\\u{85}|\xc2\xa0|\xc3\xa9\"");
}
