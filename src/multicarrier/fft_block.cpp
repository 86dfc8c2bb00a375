#include "multicarrier/fft_block.hpp"

#include "multicarrier/vector_kernels.hpp"

namespace kavro {

template <FftwTransform::Direction D>
std::size_t FftStage<D>::process(std::span<const Complex> input, std::span<Complex> output) {
    const std::size_t n = size();
    if (input.size() < n || output.size() < n) return 0;
    detail::copy_complex(input.data(), n, transform_.input().data());
    transform_.execute();
    if constexpr (inverse) detail::scale_complex(transform_.output().data(), n, scale_, output.data());
    else detail::copy_complex(transform_.output().data(), n, output.data());
    return n;
}

template class FftStage<FftwTransform::Direction::Forward>;
template class FftStage<FftwTransform::Direction::Inverse>;

}  // namespace kavro
