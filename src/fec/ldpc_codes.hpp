#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/simd_level.hpp"
#include "fec/code_kinds.hpp"

// The three LDPC codes of the frame link. Each parity-check matrix is generated deterministically
// from a 64-bit seed and the code index, so every transmitter and receiver builds the same one:
// a column-weight-3 message part and a staircase (dual-diagonal) parity part, which makes
// encoding a single pass. Codeword layout: message bits 0..k-1, then parity bits at k..n-1.

namespace kavro::fec {

struct LdpcDecoded {
    std::vector<std::uint8_t> message;  // k bits
    bool converged = false;             // the returned word satisfies every check
};

class Ldpc {
public:
    static constexpr std::size_t column_weight = 3;
    static constexpr std::size_t max_iterations = 50;
    // Check rows the decoder updates at once, one vector lane each.
    static constexpr std::size_t rows_per_group = 8;
    // Bound on the row weight the decoder holds (the heaviest rows of the three codes have 9
    // message and 2 parity columns).
    static constexpr std::size_t max_row_weight = 32;

    static Ldpc build(LdpcCode code);

    LdpcCode code() const { return code_; }
    std::size_t n() const { return n_; }
    std::size_t k() const { return k_; }
    std::size_t m() const { return n_ - k_; }
    std::size_t edges() const { return edge_var_.size(); }

    // The three check rows of message column c, ascending.
    const std::array<std::uint16_t, 3>& column_rows(std::size_t c) const { return column_rows_[c]; }
    // The columns of check row r: its message columns ascending, then its parity columns.
    std::span<const std::uint16_t> check_vars(std::size_t r) const {
        return {edge_var_.data() + row_start_[r], edge_var_.data() + row_start_[r + 1]};
    }
    // The check rows of column c.
    std::span<const std::uint16_t> var_checks(std::size_t c) const {
        return {var_check_.data() + var_start_[c], var_check_.data() + var_start_[c + 1]};
    }
    // For each entry of var_checks(c), the position of c inside that row's check_vars.
    std::span<const std::uint16_t> var_edge_pos(std::size_t c) const {
        return {var_edge_pos_.data() + var_start_[c], var_edge_pos_.data() + var_start_[c + 1]};
    }

    // Systematic codeword (n bits) of exactly k message bits.
    std::vector<std::uint8_t> encode(std::span<const std::uint8_t> message) const;
    void encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> codeword) const;

    // Belief propagation over exactly n log-likelihood ratios (positive favours bit 0), at most 50
    // flooding iterations. A word that never satisfies every check still yields the best word
    // seen (fewest failed checks), with converged = false.
    // `level` picks the build of the vector kernel; every level gives the same bits.
    LdpcDecoded decode(std::span<const float> llr, LdpcDecodeRule rule, SimdLevel level = best_simd_level()) const;

    // Number of rows whose columns of the hard word (one bit per byte) XOR to 1.
    std::size_t failed_checks(std::span<const std::uint8_t> bits) const;

private:
    Ldpc() = default;

    // Steps of build: the check-major and column-major edge lists of the matrix whose rows hold
    // check_vars[r] and whose columns hold var_checks[c]; then the decoder's layout of them.
    void store_edges(std::span<const std::vector<std::uint16_t>> check_vars,
                     std::span<const std::vector<std::uint16_t>> var_checks);
    void store_decoder_layout(std::span<const std::vector<std::uint16_t>> check_vars);

    template <typename Rule>
    LdpcDecoded run_decoder(std::span<const float> llr, const Rule& rule, SimdLevel level) const;

    LdpcCode code_ = LdpcCode::N512R12;
    std::size_t n_ = 0;
    std::size_t k_ = 0;
    std::vector<std::array<std::uint16_t, 3>> column_rows_;
    // Check-major edge list: the edges of row r are row_start_[r] .. row_start_[r + 1].
    std::vector<std::uint32_t> row_start_;
    std::vector<std::uint16_t> edge_var_;
    // Column-major views of the same edges.
    std::vector<std::uint32_t> var_start_;
    std::vector<std::uint16_t> var_check_;
    std::vector<std::uint16_t> var_edge_pos_;

    // The decoder's message layout: rows in groups of rows_per_group, one vector lane each. Every
    // row holds row_message_columns_ message columns and the staircase columns k + r and k + r - 1
    // (row 0 has only the first; its missing edge reads a posterior of +infinity, which leaves
    // every check rule and parity unchanged). Check-to-variable messages of message edges sit at
    // (group, j, lane) for edge j of row rows_per_group group + lane; msg_var_ holds their columns,
    // msg_slot_ the slots of each message column's three edges in var_checks order, column-major
    // by eight columns: slot of edge t of column c at (c / 8, t, c mod 8).
    std::size_t row_message_columns_ = 0;
    std::vector<std::int32_t> msg_var_;
    std::vector<std::int32_t> msg_slot_;
};

// Sizes of code index q: n, k.
struct LdpcSize {
    std::size_t n;
    std::size_t k;
};
LdpcSize ldpc_size(LdpcCode code);

}  // namespace kavro::fec
