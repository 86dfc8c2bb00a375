#include "demodulate/ofdm_frame/stream_samples.hpp"

#include <algorithm>

#include "core/head_buffer.hpp"

namespace kavro {

void StreamSamples::drop_before(std::uint64_t position) {
    if (position <= base_) return;
    base_ = position;
    const std::uint64_t keep_from = position - std::min<std::uint64_t>(position, look_back_);
    if (keep_from <= stored_from_) return;
    drop_front(samples_, head_, static_cast<std::size_t>(keep_from - stored_from_));
    stored_from_ = keep_from;
}

void StreamSamples::clear() {
    samples_.clear();
    head_ = 0;
    stored_from_ = base_ = 0;
}

}  // namespace kavro
