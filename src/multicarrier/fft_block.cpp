#include "multicarrier/fft_block.hpp"

#include "multicarrier/vector_kernels.hpp"

namespace kavro {

std::size_t FftBlock::process(std::span<const Complex> input, std::span<Complex> output) {
    const std::size_t n = size();
    if (input.size() < n || output.size() < n) return 0;
    detail::copy_complex(input.data(), n, transform_.input().data());
    transform_.execute();
    detail::copy_complex(transform_.output().data(), n, output.data());
    return n;
}

}  // namespace kavro
