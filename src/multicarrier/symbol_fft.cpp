#include "multicarrier/symbol_fft.hpp"

#include <algorithm>

namespace kavro {

SymbolFft::SymbolFft(std::size_t n_fft, std::size_t cp_len)
    : fft_(n_fft), output_(n_fft), n_fft_(n_fft), cp_len_(cp_len) {}

void SymbolFft::set_backoff(std::size_t requested) { backoff_ = std::min(requested, cp_len_); }

std::optional<std::span<const Complex>> SymbolFft::process_symbol(std::span<const Complex> samples) {
    if (samples.size() < n_fft_ || samples.size() - n_fft_ < cp_len_) return std::nullopt;
    fft_.process(samples.subspan(cp_len_ - backoff_, n_fft_), output_);
    return std::span<const Complex>(output_);
}

}  // namespace kavro
