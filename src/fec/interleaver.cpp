#include "fec/interleaver.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "core/checked_math.hpp"
#include "core/internal_fault.hpp"
#include "fec/bit_packing.hpp"

namespace kavro::fec {

namespace {

std::size_t size_product(std::size_t a, std::size_t b) {
    const std::optional<std::size_t> product = checked_mul(a, b);
    if (!product) internal_fault("interleaver size overflows: " + std::to_string(a) + " * " + std::to_string(b));
    return *product;
}

std::size_t size_sum(std::size_t a, std::size_t b) {
    const std::optional<std::size_t> sum = checked_add(a, b);
    if (!sum) internal_fault("interleaver size overflows: " + std::to_string(a) + " + " + std::to_string(b));
    return *sum;
}

std::size_t round_up(std::size_t count, std::size_t multiple) {
    const std::size_t rem = count % multiple;
    return rem == 0 ? count : size_sum(count, multiple - rem);
}

std::size_t block_size(std::size_t rows, std::size_t cols) {
    if (rows == 0 || cols == 0) internal_fault("interleaver dimensions must be nonzero");
    return size_product(rows, cols);
}

void check_conv_dimensions(std::size_t branches, std::size_t depth) {
    if (branches == 0 || depth == 0) internal_fault("convolutional interleaver dimensions must be nonzero");
}

// Full blocks are de-interleaved, a trailing partial block is copied.
template <class T>
std::vector<T> block_deinterleave(std::span<const T> in, std::size_t rows, std::size_t cols) {
    const std::size_t n = block_size(rows, cols);
    std::vector<T> out(in.begin(), in.end());
    const std::size_t full = in.size() - in.size() % n;
    for (std::size_t base = 0; base < full; base += n) {
        const T* src = in.data() + base;
        T* dst = out.data() + base;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) dst[r * cols + c] = src[r + c * rows];
        }
    }
    return out;
}

// Moves group i (of `group` elements) from group i + (i mod I)*I*M of the input.
template <class T>
std::vector<T> conv_deinterleave_groups(std::span<const T> in, std::size_t group, std::size_t branches,
                                        std::size_t depth) {
    check_conv_dimensions(branches, depth);
    const std::size_t flush = conv_interleaver_flush_bytes(branches, depth);
    const std::size_t groups_in = in.size() / group;
    if (groups_in <= flush) return {};
    const std::size_t groups_out = groups_in - flush;
    const std::size_t stride = branches * depth;  // cannot overflow: flush >= stride when I > 1
    std::vector<T> out(groups_out * group);
    std::size_t branch = 0;
    for (std::size_t i = 0; i < groups_out; ++i) {
        const T* src = in.data() + (i + branch * stride) * group;
        std::copy(src, src + group, out.data() + i * group);
        if (++branch == branches) branch = 0;
    }
    return out;
}

// The Block or Convolutional form of one interleaver step on `values`, by the setting; None copies.
// Inlined into each caller, which then calls its two forms directly rather than through pointers.
template <class T, class BlockForm, class ConvForm>
[[gnu::always_inline]] inline std::vector<T> by_kind(const InterleaverKind& kind, std::span<const T> values,
                                                    BlockForm block, ConvForm conv) {
    switch (kind.kind) {
        case InterleaverKind::Kind::None: break;
        case InterleaverKind::Kind::Block: return block(values, kind.rows, kind.cols);
        case InterleaverKind::Kind::Convolutional: return conv(values, kind.branches, kind.depth);
    }
    return {values.begin(), values.end()};
}

}  // namespace

ConvInterleaver::ConvInterleaver(std::size_t branches, std::size_t depth)
    : num_branches_(branches), depth_(depth) {
    check_conv_dimensions(branches, depth);
    offset_.resize(branches);
    head_.assign(branches, 0);
    std::size_t total = 0;
    for (std::size_t j = 0; j < branches; ++j) {
        offset_[j] = total;
        total += size_product(j, depth);
    }
    delay_.assign(total, 0);
}

void ConvInterleaver::feed_in_place(std::span<std::uint8_t> bytes) {
    for (std::uint8_t& b : bytes) {
        if (branch_ != 0) {
            std::uint8_t* line = delay_.data() + offset_[branch_];
            std::size_t& head = head_[branch_];
            const std::uint8_t oldest = line[head];
            line[head] = b;
            b = oldest;
            if (++head == branch_ * depth_) head = 0;
        }
        if (++branch_ == num_branches_) branch_ = 0;
    }
    position_ += bytes.size();
}

std::vector<std::uint8_t> ConvInterleaver::feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> out(bytes.begin(), bytes.end());
    feed_in_place(out);
    return out;
}

std::size_t conv_interleaver_flush_bytes(std::size_t branches, std::size_t depth) {
    if (branches == 0) return 0;
    return size_product(size_product(branches - 1, branches), depth);
}

std::vector<std::uint8_t> block_interleave_bits(std::span<const std::uint8_t> bits, std::size_t rows,
                                                std::size_t cols) {
    const std::size_t n = block_size(rows, cols);
    std::vector<std::uint8_t> out(round_up(bits.size(), n), 0);
    for (std::size_t base = 0; base < out.size(); base += n) {
        std::uint8_t* dst = out.data() + base;
        const std::size_t avail = std::min(n, bits.size() - base);
        const std::uint8_t* src = bits.data() + base;
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const std::size_t from = r * cols + c;
                if (from < avail) dst[r + c * rows] = src[from];
            }
        }
    }
    return out;
}

std::vector<std::uint8_t> block_deinterleave_bits(std::span<const std::uint8_t> bits, std::size_t rows,
                                                  std::size_t cols) {
    return block_deinterleave(bits, rows, cols);
}

std::vector<float> block_deinterleave_llrs(std::span<const float> llrs, std::size_t rows,
                                           std::size_t cols) {
    return block_deinterleave(llrs, rows, cols);
}

std::vector<std::uint8_t> conv_interleave_bits(std::span<const std::uint8_t> bits, std::size_t branches,
                                               std::size_t depth) {
    ConvInterleaver interleaver(branches, depth);
    const std::size_t flush = conv_interleaver_flush_bytes(branches, depth);
    std::vector<std::uint8_t> bytes = pack_bits_padded(bits);
    // Data padded to whole commutator turns, then the flush; interleaved in one pass.
    bytes.resize(size_sum(round_up(bytes.size(), branches), flush), 0);
    interleaver.feed_in_place(bytes);
    return bytes_to_bits(bytes);
}

std::vector<std::uint8_t> conv_deinterleave_bytes(std::span<const std::uint8_t> rx, std::size_t branches,
                                                  std::size_t depth) {
    return conv_deinterleave_groups(rx, 1, branches, depth);
}

std::vector<std::uint8_t> conv_deinterleave_bits(std::span<const std::uint8_t> bits, std::size_t branches,
                                                 std::size_t depth) {
    const std::vector<std::uint8_t> bytes = pack_bits_padded(bits);
    return bytes_to_bits(conv_deinterleave_bytes(bytes, branches, depth));
}

std::vector<float> conv_deinterleave_llrs(std::span<const float> llrs, std::size_t branches,
                                          std::size_t depth) {
    return conv_deinterleave_groups(llrs, 8, branches, depth);
}

std::vector<std::uint8_t> interleave_bits(const InterleaverKind& kind, std::span<const std::uint8_t> bits) {
    return by_kind(kind, bits, block_interleave_bits, conv_interleave_bits);
}

std::size_t interleaved_bit_count(const InterleaverKind& kind, std::size_t bits) {
    switch (kind.kind) {
        case InterleaverKind::Kind::None: break;
        case InterleaverKind::Kind::Block: {
            const std::size_t block = size_product(kind.rows, kind.cols);
            return block == 0 ? bits : round_up(bits, block);
        }
        case InterleaverKind::Kind::Convolutional: {
            std::size_t bytes = bits / 8 + (bits % 8 != 0);
            if (kind.branches != 0) bytes = round_up(bytes, kind.branches);
            return size_product(size_sum(bytes, conv_interleaver_flush_bytes(kind.branches, kind.depth)), 8);
        }
    }
    return bits;
}

std::vector<std::uint8_t> deinterleave_bits(const InterleaverKind& kind, std::span<const std::uint8_t> bits) {
    return by_kind(kind, bits, block_deinterleave_bits, conv_deinterleave_bits);
}

std::vector<float> deinterleave_llrs(const InterleaverKind& kind, std::span<const float> llrs) {
    return by_kind(kind, llrs, block_deinterleave_llrs, conv_deinterleave_llrs);
}

}  // namespace kavro::fec
