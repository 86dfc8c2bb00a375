#pragma once

#include "multicarrier/fft_block.hpp"

namespace kavro {

// Inverse FFT stage of one length N, scaled by 1/N (see fft_block.hpp).
using IfftBlock = FftStage<FftwTransform::Direction::Inverse>;

static_assert(BlockStage<IfftBlock>);

}  // namespace kavro
