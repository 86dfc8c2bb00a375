#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The preamble search's results per start offset, kept from base() to end() in stream positions.

namespace kavro {

// What the search found at one start offset: P and E as ofdm_sync forms them, the offset's score
// (see PreambleScan), NaN for an offset without candidate (no segment energy), and whether what
// surrounds its segments is what surrounds a preamble (framed). A choice takes only framed offsets
// scoring at least the threshold; a failed choice's peak is passed on the score alone. P and E are held scaled by a power of two: their true values are 2^exponent times those
// held.
struct OffsetRecord {
    float p_re, p_im, energy, score;
    int exponent;
    bool framed;

    double true_energy() const { return std::ldexp(static_cast<double>(energy), exponent); }
};

class OffsetRecords {
public:
    std::uint64_t base() const { return base_; }
    std::uint64_t end() const { return base_ + (records_.size() - head_); }

    const OffsetRecord& at(std::uint64_t d) const { return records_[head_ + (d - base_)]; }

    // Appends `count` records after end(), each `fill`, for the caller to overwrite.
    std::span<OffsetRecord> extend(std::size_t count, const OffsetRecord& fill);

    // Drops the records before `position` (at most end()).
    void drop_before(std::uint64_t position);
    // Drops every record: the next one added is offset `position`.
    void restart_at(std::uint64_t position);

private:
    // records_[head_ ..] holds offsets from base_ on.
    std::vector<OffsetRecord> records_;
    std::size_t head_ = 0;
    std::uint64_t base_ = 0;
};

}  // namespace kavro
