#include "dsp/dc_blocker.hpp"

#include "core/phasor_nco.hpp"

namespace kavro::dsp {

DcBlocker::DcBlocker(float fs) : r_(1.0f + ((-2.0f / fs) * two_pi_f32)) {
    if (r_ < 0.0f) r_ = 0.0f;
    if (r_ > 0.9999f) r_ = 0.9999f;
}

}  // namespace kavro::dsp
