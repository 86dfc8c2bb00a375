#include "multicarrier/ifft_block.hpp"

#include "multicarrier/vector_kernels.hpp"

namespace kavro {

std::size_t IfftBlock::process(std::span<const Complex> input, std::span<Complex> output) {
    const std::size_t n = size();
    if (input.size() < n || output.size() < n) return 0;
    detail::copy_complex(input.data(), n, transform_.input().data());
    transform_.execute();
    detail::scale_complex(transform_.output().data(), n, scale_, output.data());
    return n;
}

}  // namespace kavro
