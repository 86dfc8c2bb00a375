#pragma once

#include <algorithm>
#include <cstdint>

// Where frames in a stream may overlap, and what a frame found inside another's announced body
// counts for. A frame cut short can still decode, the next frame's first samples completing its
// last symbols, and the next frame then starts inside the decoded frame's announced body: so what
// follows a decoded frame's preamble span may hold the next frame, and is searched again. A
// candidate there is taken for the next frame only if it proves itself: a failure whose header did
// not decode is taken for part of the decoded frame and not reported.
//
// While a frame's body is still arriving, a frame whose header decodes inside it early (before its
// last third) shows the waiting frame was cut short or its header false, and ends the wait; one in
// the last third waits for the waiting frame's outcome, as the waiting frame may still decode.
//
// All positions are stream positions.

namespace kavro {

class FrameOverlap {
public:
    // A frame from `start` (its preamble start), whose body starts at body_start, announced to end
    // at `end`: whether a frame whose header decodes at `inner_start` inside that body ends the
    // wait for it.
    static bool ends_wait(std::uint64_t body_start, std::uint64_t end, std::uint64_t inner_start) {
        return inner_start < end - (end - body_start) / 3;
    }

    // A frame decoded, its body ending at `end`.
    void decoded(std::uint64_t end) { decoded_end_ = std::max(decoded_end_, end); }

    // Whether the failure of a frame starting at `start` is reported.
    bool reports_failure(std::uint64_t start, bool header_decoded) const {
        return header_decoded || start >= decoded_end_;
    }

    // The samples before this belong to decoded frames (they may still be searched).
    std::uint64_t decoded_end() const { return decoded_end_; }

    // Forgets the stream's frames.
    void clear() { decoded_end_ = 0; }

private:
    std::uint64_t decoded_end_ = 0;
};

}  // namespace kavro
