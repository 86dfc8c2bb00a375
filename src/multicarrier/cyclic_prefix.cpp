#include "multicarrier/cyclic_prefix.hpp"

#include <algorithm>

#include "core/internal_fault.hpp"

namespace kavro {

std::size_t add_cyclic_prefix(std::span<const Complex> symbol, std::size_t cp_len, std::span<Complex> output) {
    const std::size_t n = symbol.size();
    if (cp_len > n) internal_fault("add_cyclic_prefix: cp_len exceeds the symbol length");
    if (output.size() < n || output.size() - n < cp_len) return 0;
    std::copy(symbol.end() - static_cast<std::ptrdiff_t>(cp_len), symbol.end(), output.begin());
    std::copy(symbol.begin(), symbol.end(), output.begin() + static_cast<std::ptrdiff_t>(cp_len));
    return n + cp_len;
}

std::size_t remove_cyclic_prefix(std::span<const Complex> symbol, std::size_t n_fft, std::size_t cp_len,
                                 std::span<Complex> output) {
    if (symbol.size() < cp_len || symbol.size() - cp_len < n_fft || output.size() < n_fft) return 0;
    std::copy_n(symbol.begin() + static_cast<std::ptrdiff_t>(cp_len), n_fft, output.begin());
    return n_fft;
}

}  // namespace kavro
