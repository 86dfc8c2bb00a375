#pragma once

// First-order DC blocker y = R·y1 + (x − x1) with its corner near 2 Hz.

namespace kavro::dsp {

class DcBlocker {
public:
    // R = 1 − 4π/fs, kept within [0, 0.9999] by plain comparisons so that a NaN (from a NaN
    // sample rate) is kept as it is rather than replaced.
    explicit DcBlocker(float fs);

    float process(float x) {
        const float y = r_ * y1_ + (x - x1_);
        x1_ = x;
        y1_ = y;
        return y;
    }

    float r() const { return r_; }

private:
    float r_;
    float x1_ = 0.0f;
    float y1_ = 0.0f;
};

}  // namespace kavro::dsp
