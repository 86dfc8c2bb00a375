#include "multicarrier/ofdm_soft_demod.hpp"

#include <algorithm>
#include <cmath>

namespace kavro {

namespace {

inline constexpr float bpsk_llr_scale = 4.0f;
inline constexpr float qpsk_llr_scale = 5.656854f;  // 4·√2

// IEEE minimum-number: a NaN operand is ignored.
inline float min_number(float a, float b) { return (b < a || a != a) ? b : a; }

// Per axis bit j, the levels whose Gray index has bit j set and those where it is clear.
template <unsigned BitsPerAxis>
struct AxisSplit {
    static constexpr unsigned levels = 1u << BitsPerAxis;
    static constexpr unsigned half = levels / 2;
    std::array<std::array<float, half>, BitsPerAxis> ones{};
    std::array<std::array<float, half>, BitsPerAxis> zeros{};

    explicit constexpr AxisSplit(QamOrder order) {
        const QamGrayLevels table(order);
        for (unsigned j = 0; j < BitsPerAxis; ++j) {
            const unsigned mask = 1u << (BitsPerAxis - 1 - j);
            unsigned n1 = 0, n0 = 0;
            for (unsigned g = 0; g < levels; ++g) {
                if (g & mask) ones[j][n1++] = table.levels[g];
                else zeros[j][n0++] = table.levels[g];
            }
        }
    }
};

inline constexpr AxisSplit<2> qam16_split{QamOrder::Qam16};
inline constexpr AxisSplit<3> qam64_split{QamOrder::Qam64};
inline constexpr AxisSplit<4> qam256_split{QamOrder::Qam256};

template <std::size_t Count>
inline float min_square_distance(float y, const std::array<float, Count>& points) {
    float best = (y - points[0]) * (y - points[0]);
    for (std::size_t i = 1; i < Count; ++i) best = min_number(best, (y - points[i]) * (y - points[i]));
    return best;
}

template <unsigned BitsPerAxis>
inline void axis_llrs(const AxisSplit<BitsPerAxis>& split, float y, float* out) {
    for (unsigned j = 0; j < BitsPerAxis; ++j)
        out[j] = min_square_distance(y, split.ones[j]) - min_square_distance(y, split.zeros[j]);
}

template <unsigned BitsPerAxis>
void qam_llrs(const AxisSplit<BitsPerAxis>& split, std::span<const Complex> cells, float* out) {
    for (const Complex& cell : cells) {
        axis_llrs(split, cell.re, out);
        axis_llrs(split, cell.im, out + BitsPerAxis);
        out += 2 * BitsPerAxis;
    }
}

}  // namespace

std::array<float, 4> qam_axis_soft_llr(float y) {
    std::array<float, 4> out{};
    axis_llrs(qam256_split, y, out.data());
    return out;
}

void soft_demap_cells(ConstellationOrder constellation, std::span<const Complex> cells, std::span<float> out) {
    switch (constellation) {
        case ConstellationOrder::Bpsk:
            for (std::size_t i = 0; i < cells.size(); ++i) out[i] = bpsk_llr_scale * cells[i].re;
            return;
        case ConstellationOrder::Qpsk:
            for (std::size_t i = 0; i < cells.size(); ++i) {
                out[2 * i] = qpsk_llr_scale * cells[i].re;
                out[2 * i + 1] = qpsk_llr_scale * cells[i].im;
            }
            return;
        case ConstellationOrder::Qam16: qam_llrs(qam16_split, cells, out.data()); return;
        case ConstellationOrder::Qam64: qam_llrs(qam64_split, cells, out.data()); return;
        case ConstellationOrder::Qam256: qam_llrs(qam256_split, cells, out.data()); return;
    }
}

std::size_t OfdmSoftDemod::process(std::span<const Complex> input, std::span<float> output) {
    const std::size_t count = output_block_size();
    if (input.size() < cells_ || output.size() < count) return 0;
    soft_demap_cells(constellation_, input.first(cells_), output);
    return count;
}

std::optional<float> evm_db(ConstellationOrder constellation, std::span<const Complex> cells,
                            std::span<const std::uint8_t> bits, std::size_t num_symbols) {
    if (cells.empty() || num_symbols == 0) return std::nullopt;
    const std::size_t k = bits_per_cell(constellation);
    if (bits.size() / k < cells.size()) return std::nullopt;

    // The reference points are mapped a block of cells at a time into a buffer on the stack: a
    // frame's worth of them would be allocated and freed on every decoded frame.
    constexpr std::size_t block = 256;
    std::array<Complex, block> reference;
    double error = 0.0;
    double power = 0.0;
    for (std::size_t first = 0; first < cells.size(); first += block) {
        const std::size_t count = std::min(block, cells.size() - first);
        map_cells(constellation, bits.subspan(first * k), std::span(reference).first(count));
        for (std::size_t i = 0; i < count; ++i) {
            const Complex cell = cells[first + i];
            const float dr = cell.re - reference[i].re;
            const float di = cell.im - reference[i].im;
            error += static_cast<double>(dr * dr + di * di);
            power += static_cast<double>(reference[i].re * reference[i].re + reference[i].im * reference[i].im);
        }
    }
    if (power <= 0.0) return std::nullopt;
    return static_cast<float>(10.0 * std::log10(error / power));
}

}  // namespace kavro
