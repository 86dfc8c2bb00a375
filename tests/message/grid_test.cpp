#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "message/grid.hpp"

namespace {

using namespace kavro::message;
using namespace kavro::message::grid_field;

constexpr std::uint16_t R = 0x8000;

struct PackCase {
    std::string text;
    std::uint16_t expected;
};

const PackCase kPackCases[] = {
    {"", 32401},
    {"RRR", 32402},
    {"RR73", 32403},
    {"73", 32404},
    {"AA00", 0},
    {"RR99", 32399},
    {"RR12", 32312},
    {"FN31", 5 * 1800 + 13 * 100 + 31},
    {"R FN31", R | (5 * 1800 + 13 * 100 + 31)},
    {"R+05", R | 32440},
    {"R-12", R | 32423},
    {"+07", 32442},
    {"-12", 32423},
    {"R", 32435},
    {"R+", R | 32435},
    {"-30", 32405},
    {"+50", 32485},
    {"-31", 32505},
    {"-35", 32501},
    {"-50", 32486},
    {"+51", 32485},    // beyond the protocol's range: clamped
    {"-51", 32486},
    {"+127", 32485},
    {std::string(40, '9'), 32485},  // the digit run saturates instead of overflowing
    {"-" + std::string(40, '9'), 32486},
    {"12dB", 32447},
    {"fn31", 32435},
};

class PackGrid : public testing::TestWithParam<PackCase> {};

TEST_P(PackGrid, GivesTheFieldValue) { EXPECT_EQ(packgrid(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Texts, PackGrid, testing::ValuesIn(kPackCases));

struct UnpackCase {
    std::uint16_t value;
    GridField expected;
    std::string text;
};

const UnpackCase kUnpackCases[] = {
    {0, Grid{"AA00"}, "AA00"},
    {32399, Grid{"RR99"}, "RR99"},
    {32400, Grid{"AA00"}, "AA00"},
    {R | 10331, Grid{"R FN31"}, "R FN31"},
    {32401, Blank{}, ""},
    {R | 32402, Rrr{}, "RRR"},  // the R flag is ignored for tokens
    {32403, Rr73{}, "RR73"},
    {R | 32404, Seventy3{}, "73"},
    {32405, Report{-30}, "-30"},
    {32435, Report{0}, "+00"},
    {32442, Report{7}, "+07"},
    {32485, Report{50}, "+50"},
    {32486, Report{-50}, "-50"},
    {R | 32501, RReport{-35}, "R-35"},
    {32505, Report{-31}, "-31"},
    {32506, Report{71}, "+71"},
    {32435 + 128, Report{-128}, "-128"},
    {32767, Report{76}, "+76"},
    {R | 32440, RReport{5}, "R+05"},
};

class UnpackGrid : public testing::TestWithParam<UnpackCase> {};

TEST_P(UnpackGrid, GivesTheFieldAndItsText) {
    const UnpackCase& c = GetParam();
    const GridField field = unpackgrid(c.value);
    EXPECT_EQ(field, c.expected);
    EXPECT_EQ(gridfield_to_str(field), c.text);
}

INSTANTIATE_TEST_SUITE_P(Values, UnpackGrid, testing::ValuesIn(kUnpackCases));

}  // namespace
