#include "demodulate/ofdm_frame/offset_records.hpp"

#include "core/head_buffer.hpp"

namespace kavro {

std::span<OffsetRecord> OffsetRecords::extend(std::size_t count, const OffsetRecord& fill) {
    const std::size_t at = records_.size();
    records_.resize(at + count, fill);
    return std::span<OffsetRecord>(records_).subspan(at, count);
}

void OffsetRecords::drop_before(std::uint64_t position) {
    if (position <= base_) return;
    drop_front(records_, head_, static_cast<std::size_t>(position - base_));
    base_ = position;
}

void OffsetRecords::restart_at(std::uint64_t position) {
    records_.clear();
    head_ = 0;
    base_ = position;
}

}  // namespace kavro
