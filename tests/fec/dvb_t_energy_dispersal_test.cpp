#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "fec/bit_packing.hpp"
#include "fec/dvb_t_energy_dispersal.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kavro::fec::DvbTEnergyDispersal;

constexpr std::size_t kPeriodBits = 32767;

Bytes sequence(std::size_t n_bytes) {
    Bytes bytes(n_bytes, 0);
    DvbTEnergyDispersal prbs;
    prbs.feed_in_place(bytes);
    return bytes;
}

// The generator as the standard draws it: fifteen stages initialised to 100101010000000, the
// output is stage 14 XOR stage 15 and is shifted back into stage 1.
Bytes shift_register_model(std::size_t n_bytes) {
    std::array<int, 16> stage{0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};  // stage[1..15]
    Bytes out(n_bytes, 0);
    for (std::size_t i = 0; i < 8 * n_bytes; ++i) {
        const int bit = stage[14] ^ stage[15];
        for (int k = 15; k > 1; --k) stage[k] = stage[k - 1];
        stage[1] = bit;
        out[i / 8] |= static_cast<std::uint8_t>(bit << (7 - i % 8));
    }
    return out;
}

TEST(DvbTEnergyDispersal, FirstBytesOfTheSequence) {
    EXPECT_EQ(sequence(8), (Bytes{0x03, 0xF6, 0x08, 0x34, 0x30, 0xB8, 0xA3, 0x93}));
    EXPECT_EQ(sequence(1504), shift_register_model(1504));
}

TEST(DvbTEnergyDispersal, PeriodIs32767Bits) {
    const Bytes bits = kavro::fec::bytes_to_bits(sequence(8192));
    const auto is_period = [&](std::size_t p) {
        for (std::size_t i = 0; i + p < bits.size(); ++i) {
            if (bits[i] != bits[i + p]) return false;
        }
        return true;
    };
    EXPECT_TRUE(is_period(kPeriodBits));
    // 32767 = 7 * 31 * 151: no proper divisor is a period.
    for (const std::size_t d : {7u * 31u, 7u * 151u, 31u * 151u}) EXPECT_FALSE(is_period(d)) << d;

    // 32767 bytes are a whole number of periods: the register is back at its start value.
    DvbTEnergyDispersal prbs;
    Bytes bytes(kPeriodBits, 0);
    prbs.feed_in_place(bytes);
    EXPECT_EQ(prbs.register_value(), DvbTEnergyDispersal::initial_register);
}

TEST(DvbTEnergyDispersal, CarriesOverBetweenCallsAndSkips) {
    const Bytes whole = sequence(1000);
    DvbTEnergyDispersal prbs;
    Bytes chunked(1000, 0);
    std::size_t at = 0;
    for (const std::size_t len : {0u, 1u, 7u, 188u, 3u, 801u}) {
        prbs.feed_in_place(std::span(chunked).subspan(at, len));
        at += len;
    }
    EXPECT_EQ(chunked, whole);

    // Skipping advances as feeding would, without touching data.
    DvbTEnergyDispersal skipper;
    skipper.skip_bytes(17);
    Bytes rest(8, 0);
    skipper.feed_in_place(rest);
    EXPECT_EQ(rest, Bytes(whole.begin() + 17, whole.begin() + 25));
    skipper.reset();
    Bytes again(8, 0);
    skipper.feed_in_place(again);
    EXPECT_EQ(again, Bytes(whole.begin(), whole.begin() + 8));
}

}  // namespace
