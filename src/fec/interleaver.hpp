#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fec/frame.hpp"

// Block and convolutional (Forney) interleavers with their exact inverses.
//
// Block (R rows, C columns, N = R*C): each block of N bits is written row by row and read column
// by column: output position r + c*R takes input position r*C + c.
//
// Convolutional (I branches, depth M): byte i travels through branch j = i mod I, which delays it
// by j*I*M byte periods, so it leaves at position i + j*I*M. A whole-buffer transmission is
// flushed with (I-1)*I*M zero bytes so that every delayed byte comes out.

namespace kavro::fec {

// Convolutional interleaver with carried state: branch j is a FIFO of j*M bytes that starts
// zero-filled; the commutator and the FIFOs continue from one call to the next.
class ConvInterleaver {
public:
    // Both dimensions must be nonzero (internal fault otherwise).
    ConvInterleaver(std::size_t branches, std::size_t depth);

    // One output byte per input byte.
    std::vector<std::uint8_t> feed(std::span<const std::uint8_t> bytes);
    void feed_in_place(std::span<std::uint8_t> bytes);

    std::size_t num_branches() const { return num_branches_; }
    std::size_t depth() const { return depth_; }
    // Bytes fed so far.
    std::size_t position() const { return position_; }

private:
    std::size_t num_branches_;
    std::size_t depth_;
    std::size_t position_ = 0;
    std::size_t branch_ = 0;              // position mod num_branches
    std::vector<std::uint8_t> delay_;     // the FIFOs, branch j at offset_[j], j*M bytes long
    std::vector<std::size_t> offset_;
    std::vector<std::size_t> head_;       // oldest byte of each FIFO
};

// Zero bytes that push every delayed byte out of a convolutional interleaver: (I-1)*I*M.
std::size_t conv_interleaver_flush_bytes(std::size_t branches, std::size_t depth);

// Block interleaver over a bit vector: the input is cut into blocks of R*C bits, the last one
// padded with zero bits; the output length is the input length rounded up to a multiple of R*C.
std::vector<std::uint8_t> block_interleave_bits(std::span<const std::uint8_t> bits,
                                                std::size_t rows, std::size_t cols);

// Inverse of the block interleaver, hard and soft: every full block of R*C values is
// de-interleaved; a trailing group shorter than R*C is passed through unchanged.
std::vector<std::uint8_t> block_deinterleave_bits(std::span<const std::uint8_t> bits,
                                                  std::size_t rows, std::size_t cols);
std::vector<float> block_deinterleave_llrs(std::span<const float> llrs, std::size_t rows,
                                           std::size_t cols);

// Convolutional interleaver over a bit vector: the bits are packed (last byte zero-padded),
// padded with zero bytes to a multiple of I, fed through a fresh interleaver and followed by the
// flush. Output: 8 * (padded bytes + (I-1)*I*M) bits.
std::vector<std::uint8_t> conv_interleave_bits(std::span<const std::uint8_t> bits,
                                               std::size_t branches, std::size_t depth);

// Exact inverse of a flushed convolutional transmission: data[i] = rx[i + (i mod I)*I*M] for
// i < rx.size() - (I-1)*I*M; empty when the input does not exceed the flush.
std::vector<std::uint8_t> conv_deinterleave_bytes(std::span<const std::uint8_t> rx,
                                                  std::size_t branches, std::size_t depth);

// The same on a received bit vector; a bit count that is not a multiple of 8 is packed with its
// last byte zero-padded.
std::vector<std::uint8_t> conv_deinterleave_bits(std::span<const std::uint8_t> bits,
                                                 std::size_t branches, std::size_t depth);

// The same on soft values: whole groups of 8 values move as the bytes do (a trailing partial
// group is dropped), yielding 8 * (llrs.size()/8 - (I-1)*I*M) values, none when that is negative.
std::vector<float> conv_deinterleave_llrs(std::span<const float> llrs, std::size_t branches,
                                          std::size_t depth);

// Applies an interleaver setting to a bit vector: None copies, Block and Convolutional as above.
// Zero dimensions are internal faults.
std::vector<std::uint8_t> interleave_bits(const InterleaverKind& kind, std::span<const std::uint8_t> bits);

// The bit count interleave_bits yields for `bits` input bits, without interleaving: Block rounds
// up to a multiple of R*C (unchanged when R*C is 0); Convolutional takes ceil(bits/8) bytes,
// rounds them up to a multiple of I (when I is not 0), adds the (I-1)*I*M flush bytes and
// counts bits.
std::size_t interleaved_bit_count(const InterleaverKind& kind, std::size_t bits);

// Receive-side inverses of interleave_bits on hard bits and on soft values (see
// block_deinterleave_* and conv_deinterleave_*); None copies.
std::vector<std::uint8_t> deinterleave_bits(const InterleaverKind& kind, std::span<const std::uint8_t> bits);
std::vector<float> deinterleave_llrs(const InterleaverKind& kind, std::span<const float> llrs);

}  // namespace kavro::fec
