#pragma once

#include <cstdint>
#include <span>

// The recovery demodulator's front end: the input decimated (well above the upper tone only
// every stride-th frame is kept, after a triangle low-pass) and band-filtered around the
// tones. Everything after it counts in kept frames.

// A second-order IIR section, direct form I.
struct biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
};

inline double filter(biquad& f, double x) {
    const double y = f.b0 * x + f.b1 * f.x1 + f.b2 * f.x2 - f.a1 * f.y1 - f.a2 * f.y2;
    f.x2 = f.x1;
    f.x1 = x;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

struct front_end {
    // Fixed by the settings.
    std::int32_t stride = 1;          // input frames per kept frame
    double frame_rate = 0.0;          // kept frames a second
    double gain0 = 1.0, gain1 = 1.0;  // the whole chain's gain at each tone
    double turn0 = 0.0, turn1 = 0.0;  // and the phase it adds there, delay excluded (radians)
    double delay = 0.0;               // the band filter's group delay across the tones (frames)
    double band_low = 0.0, band_high = 0.0;  // its corners (Hz)
    // The triangle of 2 stride - 1 taps is summed as input arrives: a frame at `phase` in its
    // block of stride frames weighs phase + 1 in the block's own kept frame and
    // stride - 1 - phase in the one before.
    double rising = 0.0, rising_before = 0.0, falling = 0.0;
    std::int32_t phase = 0;
    biquad high_pass, low_pass;
};

// Requires tones above 0, the upper above the lower, and a sample rate above twice the upper.
front_end make_front_end(std::int32_t lower_tone, std::int32_t upper_tone,
                         std::int32_t sample_rate);

// Decimates input frames from the front of `in` (which is advanced past them) into `out`
// until `out` is full or `in` empty: the count of kept frames written.
std::size_t decimate(front_end& f, std::span<const double>& in, std::span<double> out);
