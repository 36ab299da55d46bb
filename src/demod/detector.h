#pragma once

#include <cmath>
#include <cstdint>

#include "demod/dft.h"
#include "demod/plan.h"
#include "demod/sample_window.h"

// One window's verdict: the magnitudes of the two tones and the bit they decide, if any.
struct bit_verdict {
    double low = 0.0;
    double high = 0.0;
    int bit = -1;  // 0, 1, or -1 when neither tone qualifies
};

// Decides from the spectrum's bins a and 2a. Both detector paths call this one function,
// so their decisions can differ only if the bins themselves differ.
inline bit_verdict judge_bins(complex_value low_bin, complex_value high_bin,
                              const demod_config& config) {
    const double n = static_cast<double>(config.frames_per_bit);
    bit_verdict v;
    v.low = std::sqrt(low_bin.re * low_bin.re + low_bin.im * low_bin.im) / n;
    v.high = std::sqrt(high_bin.re * high_bin.re + high_bin.im * high_bin.im) / n;
    if (v.low > 2.0 * v.high && low_bin.re <= 0.0 && low_bin.im <= 0.0 &&
        v.low > config.detect_level) {
        v.bit = 0;
    } else if (v.high > 2.0 * v.low && high_bin.re <= 0.0 && high_bin.im <= 0.0 &&
               v.high > config.detect_level) {
        v.bit = 1;
    }
    return v;
}

// Frames the window must keep behind the furthest frame asked for, so that every step back
// of the detectors and the framing lands on frames still held: a window and the framing's
// longest step back (half a window at most), with room to spare.
std::size_t detector_history(const demod_config& config);

// The plain detector: from frame `cursor`, moves a window of N frames forward, one frame at
// a time while either tone reached the slide level at the previous position and a whole
// window otherwise, until a window decides. Returns the bit with the cursor at the end of the
// deciding window, or 0 with the cursor at the end of the data. The whole spectrum of every
// window comes from mixed_radix_dft.
int detect_bit(sample_window& window, std::uint64_t& cursor, const demod_config& config);
