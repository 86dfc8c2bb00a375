#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"

// The streaming frame receiver's sample buffer, addressed by stream position: the position of a
// sample counts every sample pushed since the stream began (or since clear), so that the search's
// records and a pending attempt keep their places while the front of the buffer is dropped.
// It holds the samples from base() up to end().

namespace kavro {

class StreamSamples {
public:
    void append(std::span<const Complex> iq) { samples_.insert(samples_.end(), iq.begin(), iq.end()); }

    // Drops the samples before `position`; one at or before base() drops nothing.
    void drop_before(std::uint64_t position);

    // Empties the buffer and starts the stream again at position 0.
    void clear();

    std::uint64_t base() const { return base_; }
    std::uint64_t end() const { return base_ + (samples_.size() - head_); }
    std::size_t size() const { return samples_.size() - head_; }

    const Complex& at(std::uint64_t position) const { return samples_[head_ + (position - base_)]; }
    // The samples from `position` (at least base()) to the end.
    std::span<const Complex> from(std::uint64_t position) const {
        return std::span<const Complex>(samples_).subspan(head_ + static_cast<std::size_t>(position - base_));
    }

private:
    // samples_[head_ ..] holds the stream from base_ on.
    std::vector<Complex> samples_;
    std::size_t head_ = 0;
    std::uint64_t base_ = 0;
};

}  // namespace kavro
