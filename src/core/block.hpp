#pragma once

#include <concepts>
#include <cstddef>
#include <span>

// The stage interface: one operation, process(input, output), returning the number of output
// items written. Stages are plain classes bound at compile time; nothing calls them through a
// table of functions.
//
// Block stages have a fixed block size: when either slice is shorter than one block, process
// returns 0 and touches nothing; otherwise it handles exactly the first block of the input.
// Stream stages consume input items one at a time and stop when the input is used up or the
// output has no room for another symbol's outputs.

namespace kavro {

template <class S>
concept Block = requires(S& stage, std::span<const typename S::Input> input,
                         std::span<typename S::Output> output) {
    { stage.process(input, output) } -> std::same_as<std::size_t>;
};

template <class S>
concept BlockStage = Block<S> && requires(const S& stage) {
    { stage.input_block_size() } -> std::same_as<std::size_t>;
    { stage.output_block_size() } -> std::same_as<std::size_t>;
};

// True when a block stage may run on these slices: both hold at least one block.
template <BlockStage S>
constexpr bool holds_one_block(const S& stage, std::size_t input_size, std::size_t output_size) {
    return input_size >= stage.input_block_size() && output_size >= stage.output_block_size();
}

}  // namespace kavro
