#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The preamble search's results per start offset, kept from base() to end() in stream positions,
// with the largest candidate energy of each block of `block` offsets so that the largest energy
// over a long window reads a few maxima instead of every record. A block's maximum covers every
// record ever added in it, also those dropped since; only a window's edges read records.

namespace kavro {

// What the search found at one start offset: metric is NaN for an offset without candidate, score
// NaN until the offset is judged (and for offsets that cannot reach the threshold). P and E were
// formed on samples scaled by a power of two: their true values are 2^exponent times those held.
struct OffsetRecord {
    float p_re, p_im, energy, metric, score;
    int exponent;

    double true_energy() const { return std::ldexp(static_cast<double>(energy), exponent); }
};

class OffsetRecords {
public:
    // Offsets per block of the running energy maxima.
    static constexpr std::uint64_t block = 32;

    std::uint64_t base() const { return base_; }
    std::uint64_t end() const { return base_ + (records_.size() - head_); }

    const OffsetRecord& at(std::uint64_t d) const { return records_[head_ + (d - base_)]; }
    OffsetRecord& at(std::uint64_t d) { return records_[head_ + (d - base_)]; }

    // Appends `count` records after end(), each `fill`, for the caller to overwrite; their blocks
    // get maxima (0 for a new block) that add_maxima raises.
    std::span<OffsetRecord> extend(std::size_t count, const OffsetRecord& fill);
    // Raises the block maxima by the candidate energies of the `count` records from `first`, all
    // formed with the given exponent.
    void add_maxima(std::uint64_t first, std::size_t count, int exponent);

    // Whether d, at or after base(), starts a block without candidate energy (no offset in it can
    // score).
    bool empty_block_at(std::uint64_t d) const { return d % block == 0 && d >= base_ && maximum(d / block) == 0.0; }
    // The largest candidate energy among offsets lo ..= hi (both at least base()).
    double window_energy(std::uint64_t lo, std::uint64_t hi) const;

    // Drops the records before `position` (at most end()) and the maxima of blocks wholly before it.
    void drop_before(std::uint64_t position);
    // Drops every record: the next one added is offset `position`.
    void restart_at(std::uint64_t position);

private:
    double& maximum(std::uint64_t block_index) {
        return maxima_[maxima_head_ + static_cast<std::size_t>(block_index - maxima_base_)];
    }
    double maximum(std::uint64_t block_index) const {
        return maxima_[maxima_head_ + static_cast<std::size_t>(block_index - maxima_base_)];
    }
    // Makes room for the maxima of blocks up to the one holding offset `last`.
    void cover(std::uint64_t last);

    // records_[head_ ..] holds offsets from base_ on; maxima_[maxima_head_ ..] blocks from
    // maxima_base_ on.
    std::vector<OffsetRecord> records_;
    std::size_t head_ = 0;
    std::uint64_t base_ = 0;
    std::vector<double> maxima_;
    std::size_t maxima_head_ = 0;
    std::uint64_t maxima_base_ = 0;
};

}  // namespace kavro
