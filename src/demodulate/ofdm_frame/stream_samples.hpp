#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/complex.hpp"

// The streaming frame receiver's sample buffer, addressed by stream position: the position of a
// sample counts every sample pushed since the stream began (or since clear), so that the search's
// records and a pending attempt keep their places while the front of the buffer is dropped.
// It holds the samples from base() up to end(), and keeps up to `look_back` dropped samples before
// base() for a search that reads what precedes an offset.

namespace kavro {

class StreamSamples {
public:
    explicit StreamSamples(std::size_t look_back = 0) : look_back_(look_back) {}

    void append(std::span<const Complex> iq) { samples_.insert(samples_.end(), iq.begin(), iq.end()); }

    // Drops the samples before `position`; one at or before base() drops nothing.
    void drop_before(std::uint64_t position);

    // Empties the buffer and starts the stream again at position 0.
    void clear();

    std::uint64_t base() const { return base_; }
    std::uint64_t end() const { return stored_from_ + (samples_.size() - head_); }
    std::size_t size() const { return static_cast<std::size_t>(end() - base_); }

    // A sample from base() - min(base(), look_back) on.
    const Complex& at(std::uint64_t position) const { return samples_[head_ + (position - stored_from_)]; }
    // The samples from `position` (at least base() - min(base(), look_back)) to the end.
    std::span<const Complex> from(std::uint64_t position) const {
        return std::span<const Complex>(samples_).subspan(head_ + static_cast<std::size_t>(position - stored_from_));
    }

private:
    // samples_[head_ ..] holds the stream from stored_from_ on; base_ - stored_from_ <= look_back_.
    std::vector<Complex> samples_;
    std::size_t head_ = 0;
    std::uint64_t stored_from_ = 0;
    std::uint64_t base_ = 0;
    std::size_t look_back_;
};

}  // namespace kavro
