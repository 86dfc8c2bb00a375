#include "demodulate/ofdm_frame/offset_records.hpp"

#include <algorithm>

#include "core/head_buffer.hpp"

namespace kavro {

namespace {

// An offset's energy as it enters a window's maximum: only candidates with a finite energy count.
double window_energy_of(const OffsetRecord& record) {
    return !std::isnan(record.metric) && std::isfinite(record.energy) ? record.true_energy() : 0.0;
}

}  // namespace

std::span<OffsetRecord> OffsetRecords::extend(std::size_t count, const OffsetRecord& fill) {
    const std::uint64_t first = end();
    const std::size_t at = records_.size();
    records_.resize(at + count, fill);
    cover(first + count - 1);
    return std::span<OffsetRecord>(records_).subspan(at, count);
}

void OffsetRecords::cover(std::uint64_t last) {
    const std::uint64_t last_block = last / block;
    maxima_.resize(std::max(maxima_.size(), maxima_head_ + static_cast<std::size_t>(last_block + 1 - maxima_base_)),
                   0.0);
}

void OffsetRecords::add_maxima(std::uint64_t first, std::size_t count, int exponent) {
    // The records share one exponent: each block's maximum is found on the held values and scaled once.
    const OffsetRecord* in = &at(first);
    for (std::size_t j = 0; j < count;) {
        const std::uint64_t index = (first + j) / block;
        const auto block_end = static_cast<std::size_t>(std::min<std::uint64_t>((index + 1) * block - first, count));
        float held = 0.0f;
        for (; j < block_end; ++j) {
            if (!std::isnan(in[j].metric) && std::isfinite(in[j].energy)) held = std::max(held, in[j].energy);
        }
        double& most = maximum(index);
        most = std::max(most, std::ldexp(static_cast<double>(held), exponent));
    }
}

double OffsetRecords::window_energy(std::uint64_t lo, std::uint64_t hi) const {
    double most = 0.0;
    const std::uint64_t lo_block = lo / block;
    const std::uint64_t hi_block = hi / block;
    const auto scan = [&](std::uint64_t from, std::uint64_t to) {
        for (std::uint64_t d = from; d <= to; ++d) most = std::max(most, window_energy_of(at(d)));
    };
    if (lo_block == hi_block) {
        scan(lo, hi);
        return most;
    }
    scan(lo, (lo_block + 1) * block - 1);
    for (std::uint64_t b = lo_block + 1; b < hi_block; ++b) most = std::max(most, maximum(b));
    scan(hi_block * block, hi);
    return most;
}

void OffsetRecords::drop_before(std::uint64_t position) {
    if (position <= base_) return;
    drop_front(records_, head_, static_cast<std::size_t>(position - base_));
    base_ = position;
    const std::uint64_t blocks = base_ / block;
    if (blocks > maxima_base_) {
        drop_front(maxima_, maxima_head_, static_cast<std::size_t>(blocks - maxima_base_));
        maxima_base_ = blocks;
    }
}

void OffsetRecords::restart_at(std::uint64_t position) {
    records_.clear();
    head_ = 0;
    base_ = position;
    maxima_.clear();
    maxima_head_ = 0;
    maxima_base_ = position / block;
}

}  // namespace kavro
