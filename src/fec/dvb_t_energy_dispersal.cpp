#include "fec/dvb_t_energy_dispersal.hpp"

namespace kavro::fec {

namespace {

// Eight steps of the register; the emitted bits land most significant bit first.
inline unsigned next_byte(unsigned& reg) {
    unsigned out = 0;
    for (int step = 0; step < 8; ++step) {
        const unsigned f = (reg ^ (reg >> 1)) & 1u;
        out = (out << 1) | f;
        reg = (reg >> 1) | (f << 14);
    }
    return out;
}

}  // namespace

void DvbTEnergyDispersal::feed_in_place(std::span<std::uint8_t> bytes) {
    unsigned reg = reg_;
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(b ^ next_byte(reg));
    reg_ = static_cast<std::uint16_t>(reg);
}

void DvbTEnergyDispersal::skip_bytes(std::size_t count) {
    unsigned reg = reg_;
    for (std::size_t k = 0; k < count; ++k) next_byte(reg);
    reg_ = static_cast<std::uint16_t>(reg);
}

}  // namespace kavro::fec
