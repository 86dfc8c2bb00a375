#include "fec/ldpc_codes.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/internal_fault.hpp"

// Construction of the three codes (the parity-check matrix and the decoder's layout of it),
// encoding and the check count; the decoder itself is in ldpc_decoder.cpp.

namespace kavro::fec {

namespace {

// "LDPC512" followed by a zero byte, read most significant byte first; the code index is ORed in.
constexpr std::uint64_t code_seed = 0x4C44504335313200ULL;

constexpr std::size_t column_weight = Ldpc::column_weight;
constexpr std::size_t lane_count = Ldpc::rows_per_group;

struct XorShift64 {
    std::uint64_t s;
    // Advances the state and returns it: the draw is the state after its step.
    std::uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

// Set of unordered row pairs over m rows, as an m x m bit matrix keyed by (min, max).
class RowPairSet {
public:
    explicit RowPairSet(std::size_t m) : m_(m), bits_(m * m, false) {}
    bool contains(std::size_t a, std::size_t b) const { return bits_[index(a, b)]; }
    void insert(std::size_t a, std::size_t b) { bits_[index(a, b)] = true; }

private:
    std::size_t index(std::size_t a, std::size_t b) const { return std::min(a, b) * m_ + std::max(a, b); }
    std::size_t m_;
    std::vector<bool> bits_;
};

// Row j of a message column whose rows[0..j) are drawn: the scan starts at a random row and takes
// the least loaded row that is not yet in the column and shares no row pair with it (a tie keeps
// the first in scan order); when every such row is barred, the first row not yet in the column.
std::size_t draw_row(XorShift64& rng, std::span<const std::size_t> load, const RowPairSet& used,
                     std::span<const std::size_t> rows) {
    const std::size_t m = load.size();
    const std::size_t start = rng.next() % m;
    const auto taken = [&](std::size_t r) { return std::find(rows.begin(), rows.end(), r) != rows.end(); };
    std::size_t best = m;
    std::size_t best_load = std::numeric_limits<std::size_t>::max();
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t r = (start + i) % m;
        if (taken(r)) continue;
        bool pair_used = false;
        for (const std::size_t q : rows) pair_used = pair_used || used.contains(q, r);
        if (pair_used) continue;
        if (load[r] < best_load) {
            best = r;
            best_load = load[r];
        }
    }
    for (std::size_t i = 0; i < m && best == m; ++i) {
        const std::size_t r = (start + i) % m;
        if (!taken(r)) best = r;
    }
    if (best == m) internal_fault("m > col_weight guarantees a free row");
    return best;
}

// The three check rows of each of the k message columns over m rows, ascending, drawn column by
// column from the code's seed.
std::vector<std::array<std::uint16_t, 3>> draw_message_columns(LdpcCode code, std::size_t m, std::size_t k) {
    std::vector<std::array<std::uint16_t, 3>> columns(k);
    XorShift64 rng{code_seed | static_cast<std::uint64_t>(code)};
    std::vector<std::size_t> load(m, 0);
    RowPairSet used(m);
    for (std::size_t c = 0; c < k; ++c) {
        std::array<std::size_t, column_weight> rows{};
        for (std::size_t j = 0; j < column_weight; ++j) rows[j] = draw_row(rng, load, used, std::span(rows).first(j));
        for (const std::size_t r : rows) ++load[r];
        for (std::size_t a = 0; a < column_weight; ++a)
            for (std::size_t b = a + 1; b < column_weight; ++b) used.insert(rows[a], rows[b]);
        std::sort(rows.begin(), rows.end());
        for (std::size_t a = 0; a < column_weight; ++a) columns[c][a] = static_cast<std::uint16_t>(rows[a]);
    }
    return columns;
}

// The columns of each row (message columns ascending, then the staircase) and the rows of each
// column.
struct Adjacency {
    std::vector<std::vector<std::uint16_t>> check_vars;
    std::vector<std::vector<std::uint16_t>> var_checks;
};

Adjacency adjacency(std::span<const std::array<std::uint16_t, 3>> columns, std::size_t n, std::size_t k) {
    const std::size_t m = n - k;
    Adjacency a{std::vector<std::vector<std::uint16_t>>(m), std::vector<std::vector<std::uint16_t>>(n)};
    for (std::size_t c = 0; c < k; ++c)
        for (const std::uint16_t r : columns[c]) {
            a.check_vars[r].push_back(static_cast<std::uint16_t>(c));
            a.var_checks[c].push_back(r);
        }
    a.check_vars[0].push_back(static_cast<std::uint16_t>(k));
    a.var_checks[k].push_back(0);
    for (std::size_t i = 1; i < m; ++i) {
        a.check_vars[i].push_back(static_cast<std::uint16_t>(k + i));
        a.var_checks[k + i].push_back(static_cast<std::uint16_t>(i));
        a.check_vars[i].push_back(static_cast<std::uint16_t>(k + i - 1));
        a.var_checks[k + i - 1].push_back(static_cast<std::uint16_t>(i));
    }
    return a;
}

}  // namespace

LdpcSize ldpc_size(LdpcCode code) {
    switch (code) {
    case LdpcCode::N512R12: return {512, 256};
    case LdpcCode::N576R23: return {576, 384};
    case LdpcCode::N512R34: return {512, 384};
    }
    internal_fault("unknown LDPC code index " + std::to_string(static_cast<unsigned>(code)));
}

Ldpc Ldpc::build(LdpcCode code) {
    const auto [n, k] = ldpc_size(code);
    const std::size_t m = n - k;
    if (!(m >= 1 && k >= 1 && n == k + m)) internal_fault("assertion failed: m >= 1 && k >= 1 && n == k + m");

    Ldpc ldpc;
    ldpc.code_ = code;
    ldpc.n_ = n;
    ldpc.k_ = k;
    ldpc.column_rows_ = draw_message_columns(code, m, k);
    const Adjacency a = adjacency(ldpc.column_rows_, n, k);
    ldpc.store_edges(a.check_vars, a.var_checks);
    ldpc.store_decoder_layout(a.check_vars);
    return ldpc;
}

void Ldpc::store_edges(std::span<const std::vector<std::uint16_t>> check_vars,
                       std::span<const std::vector<std::uint16_t>> var_checks) {
    row_start_.assign(1, 0);
    for (const auto& row : check_vars) {
        edge_var_.insert(edge_var_.end(), row.begin(), row.end());
        row_start_.push_back(static_cast<std::uint32_t>(edge_var_.size()));
    }
    var_start_.assign(1, 0);
    for (std::size_t c = 0; c < n_; ++c) {
        for (const std::uint16_t r : var_checks[c]) {
            const auto& row = check_vars[r];
            const auto it = std::find(row.begin(), row.end(), c);
            if (it == row.end()) internal_fault("bit is incident to its check");
            const auto pos = static_cast<std::uint16_t>(it - row.begin());
            var_check_.push_back(r);
            var_edge_pos_.push_back(pos);
        }
        var_start_.push_back(static_cast<std::uint32_t>(var_check_.size()));
    }
}

void Ldpc::store_decoder_layout(std::span<const std::vector<std::uint16_t>> check_vars) {
    // Every row has the same number of message columns, and rows and message columns come in
    // whole vectors.
    const std::size_t k = k_;
    const std::size_t m = n_ - k_;
    const std::size_t w = check_vars[0].size() - 1;
    for (std::size_t r = 1; r < m; ++r)
        if (check_vars[r].size() != w + 2) internal_fault("LDPC rows of unequal weight");
    if (m % lane_count != 0 || k % lane_count != 0 || w + 2 > max_row_weight) internal_fault("LDPC decoder layout");
    row_message_columns_ = w;
    msg_var_.resize(m * w);
    msg_slot_.resize(k * column_weight);
    const auto slot = [&](std::size_t r, std::size_t j) { return (r / lane_count * w + j) * lane_count + r % lane_count; };
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t j = 0; j < w; ++j) msg_var_[slot(r, j)] = check_vars[r][j];
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t t = 0; t < column_weight; ++t) {
            const std::uint32_t e = var_start_[c] + static_cast<std::uint32_t>(t);
            msg_slot_[(c / lane_count * column_weight + t) * lane_count + c % lane_count] =
                static_cast<std::int32_t>(slot(var_check_[e], var_edge_pos_[e]));
        }
}

std::vector<std::uint8_t> Ldpc::encode(std::span<const std::uint8_t> message) const {
    std::vector<std::uint8_t> codeword(n_);
    encode_into(message, codeword);
    return codeword;
}

void Ldpc::encode_into(std::span<const std::uint8_t> message, std::span<std::uint8_t> codeword) const {
    if (message.size() != k_) internal_fault("LDPC message must be exactly K bits");
    if (codeword.size() != n_) internal_fault("LDPC codeword must be exactly N bits");
    std::copy(message.begin(), message.end(), codeword.begin());
    std::uint8_t* q = codeword.data() + k_;
    std::fill(q, q + m(), 0);
    for (std::size_t c = 0; c < k_; ++c)
        if (message[c] & 1)
            for (const std::uint16_t r : column_rows_[c]) q[r] ^= 1;
    // Staircase: p[0] = q[0], p[i] = p[i-1] XOR q[i] satisfies every row.
    std::uint8_t acc = 0;
    for (std::size_t i = 0; i < m(); ++i) {
        acc ^= q[i];
        q[i] = acc;
    }
}

std::size_t Ldpc::failed_checks(std::span<const std::uint8_t> bits) const {
    std::size_t failed = 0;
    const std::size_t rows = m();
    for (std::size_t r = 0; r < rows; ++r) {
        std::uint8_t x = 0;
        for (std::uint32_t e = row_start_[r]; e < row_start_[r + 1]; ++e) x ^= bits[edge_var_[e]];
        failed += x & 1;
    }
    return failed;
}

}  // namespace kavro::fec
