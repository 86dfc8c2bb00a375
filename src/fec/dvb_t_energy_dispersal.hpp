#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The DVB-T energy-dispersal PRBS (generator 1 + X^14 + X^15). The 15-bit register holds the
// first stage in bit 14 and the fifteenth stage in bit 0; it starts at 0x4A80, the initialisation
// sequence 100101010000000. The register carries over between calls, so successive calls continue
// one sequence; its period is 32767 bits.

namespace kavro::fec {

class DvbTEnergyDispersal {
public:
    static constexpr std::uint16_t initial_register = 0x4A80;

    // XORs the sequence into the bytes, each byte most significant bit first.
    void feed_in_place(std::span<std::uint8_t> bytes);

    // Advances the register by eight steps per byte without touching any data (the sync bytes
    // that transport-stream dispersal passes over).
    void skip_bytes(std::size_t count);

    // Back to the initialisation sequence.
    void reset() { reg_ = initial_register; }

    std::uint16_t register_value() const { return reg_; }

private:
    std::uint16_t reg_ = initial_register;
};

}  // namespace kavro::fec
