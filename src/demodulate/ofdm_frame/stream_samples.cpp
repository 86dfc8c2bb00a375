#include "demodulate/ofdm_frame/stream_samples.hpp"

#include "core/head_buffer.hpp"

namespace kavro {

void StreamSamples::drop_before(std::uint64_t position) {
    if (position <= base_) return;
    drop_front(samples_, head_, static_cast<std::size_t>(position - base_));
    base_ = position;
}

void StreamSamples::clear() {
    samples_.clear();
    head_ = 0;
    base_ = 0;
}

}  // namespace kavro
