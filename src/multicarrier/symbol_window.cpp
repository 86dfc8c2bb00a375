#include "multicarrier/symbol_window.hpp"

#include <algorithm>
#include <cmath>

#include "core/internal_fault.hpp"

namespace kavro {

std::string error_message(const SymbolWindowError& error) {
    return "SymbolWindow: roll_off (" + std::to_string(error.roll_off) + ") must not exceed the symbol length (" +
           std::to_string(error.block_len) + ")";
}

std::vector<float> symbol_taper(std::size_t roll_off) {
    constexpr float pi = 3.1415927f;
    std::vector<float> taper(roll_off);
    const auto r = static_cast<float>(roll_off);
    for (std::size_t i = 0; i < roll_off; ++i) {
        taper[i] = 0.5f * (1.0f - std::cos(pi * (static_cast<float>(i) + 0.5f) / r));
    }
    return taper;
}

void apply_symbol_taper(std::span<Complex> symbol, std::span<const float> taper) {
    const std::size_t len = symbol.size();
    if (taper.size() > len) internal_fault("apply_symbol_taper: taper longer than the symbol");
    for (std::size_t i = 0; i < taper.size(); ++i) {
        symbol[i] = symbol[i] * taper[i];
        symbol[len - 1 - i] = symbol[len - 1 - i] * taper[i];
    }
}

std::expected<SymbolWindow, SymbolWindowError> SymbolWindow::create(std::size_t block_len, std::size_t roll_off) {
    if (roll_off > block_len) return std::unexpected(SymbolWindowError{roll_off, block_len});
    return SymbolWindow(block_len, roll_off);
}

std::size_t SymbolWindow::process(std::span<const Complex> input, std::span<Complex> output) {
    if (input.size() < block_len_ || output.size() < block_len_) return 0;
    std::copy_n(input.begin(), block_len_, output.begin());
    apply_symbol_taper(output.first(block_len_), taper_);
    return block_len_;
}

}  // namespace kavro
