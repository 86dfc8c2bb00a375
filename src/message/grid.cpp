#include "message/grid.hpp"

#include <algorithm>
#include <cstdlib>

#include "message/alphabets.hpp"

namespace kavro::message {

namespace {

constexpr int report_zero = 32435;        // g15 of report 0; -30..+50 sit at 32435 + r
constexpr int low_report_zero = 32536;     // -50..-31 sit at 32536 + r, just above +50
constexpr int low_report_first = 32486;
constexpr int low_report_last = 32505;
// More digits than any report needs; the run stops growing here instead of overflowing.
constexpr int digit_run_limit = 1000;

constexpr bool is_locator_letter(char c) { return c >= 'A' && c <= 'R'; }

std::uint16_t grid_value(std::string_view text) {
    return static_cast<std::uint16_t>((text[0] - 'A') * 1800 + (text[1] - 'A') * 100 + (text[2] - '0') * 10 +
                                      (text[3] - '0'));
}

std::uint16_t report_value(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int number = 0;
    for (std::size_t i = 0; i < text.size() && is_digit(text[i]); ++i)
        number = std::min(number * 10 + (text[i] - '0'), digit_run_limit);
    const int r = std::clamp(negative ? -number : number, min_report, max_report);
    return static_cast<std::uint16_t>(r < -30 ? low_report_zero + r : report_zero + r);
}

std::string signed_report(int r) {
    const int magnitude = std::abs(r);
    std::string text(1, r < 0 ? '-' : '+');
    if (magnitude < 10) text += '0';
    return text + std::to_string(magnitude);
}

}  // namespace

bool is_grid4(std::string_view text) {
    return text.size() == 4 && is_locator_letter(text[0]) && is_locator_letter(text[1]) && is_digit(text[2]) &&
           is_digit(text[3]);
}

std::uint16_t packgrid(std::string_view text) {
    if (text.empty()) return blank_value;
    if (text == "RRR") return rrr;
    if (text == "RR73") return rr73;
    if (text == "73") return seventy3;
    if (is_grid4(text)) return grid_value(text);
    if (text.size() == 6 && text.starts_with("R ") && is_grid4(text.substr(2))) return r_flag_bit | grid_value(text.substr(2));
    if (text.size() >= 2 && text.front() == 'R') return r_flag_bit | report_value(text.substr(1));
    return report_value(text);
}

GridField unpackgrid(std::uint16_t value) {
    using namespace grid_field;
    const int g15 = value & 0x7FFF;
    const bool r_flag = (value & r_flag_bit) != 0;
    if (g15 < blank_value) {
        std::string locator{static_cast<char>('A' + g15 / 1800 % 18), static_cast<char>('A' + g15 / 100 % 18),
                            static_cast<char>('0' + g15 / 10 % 10), static_cast<char>('0' + g15 % 10)};
        return Grid{r_flag ? "R " + locator : locator};
    }
    if (g15 == blank_value) return Blank{};
    if (g15 == rrr) return Rrr{};
    if (g15 == rr73) return Rr73{};
    if (g15 == seventy3) return Seventy3{};
    const int r = g15 >= low_report_first && g15 <= low_report_last
                      ? g15 - low_report_zero
                      : static_cast<std::int8_t>(static_cast<std::uint8_t>(g15 - report_zero));
    const auto report = static_cast<std::int8_t>(r);
    if (r_flag) return RReport{report};
    return Report{report};
}

std::string gridfield_to_str(const GridField& field) {
    using namespace grid_field;
    struct Text {
        std::string operator()(const Grid& g) const { return g.text; }
        std::string operator()(const Report& r) const { return signed_report(r.value); }
        std::string operator()(const RReport& r) const { return "R" + signed_report(r.value); }
        std::string operator()(const Rrr&) const { return "RRR"; }
        std::string operator()(const Rr73&) const { return "RR73"; }
        std::string operator()(const Seventy3&) const { return "73"; }
        std::string operator()(const Blank&) const { return ""; }
    };
    return std::visit(Text{}, field);
}

}  // namespace kavro::message
