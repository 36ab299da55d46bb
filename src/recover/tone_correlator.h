#pragma once

#include <cstdint>
#include <vector>

#include "recover/tuning.h"

// Correlators of the two tones over the last `window` frames and `fraction` of the one before
// (a window as long as a bit, which is seldom a whole number of frames), updated per frame in
// O(1). A bit-long window holds whole cycles of either tone at the nominal signal, so a steady
// tone leaves nothing in the other's correlator. Each tone has its own oscillator: the upper
// one need not be twice the lower.

// The running sums over one window: both tones' correlations (real, imaginary) and the
// window's energy.
struct window_sums {
    double r0 = 0.0, i0 = 0.0, r1 = 0.0, i1 = 0.0, energy = 0.0;
};

struct tone_correlator {
    std::int32_t window = 0;
    double fraction = 0.0;
    std::int64_t sample_rate = 0;
    std::int64_t lower_tone = 0, upper_tone = 0;
    std::int64_t stride = 1;              // input frames per correlator frame
    double step_r = 1.0, step_i = 0.0;    // e^{-j 2 pi f0 stride / fs}
    double step1_r = 1.0, step1_i = 0.0;  // e^{-j 2 pi f1 stride / fs}
    double osc_r = 1.0, osc_i = 0.0;      // e^{-j 2 pi f0 n stride / fs} for the next frame n
    double osc1_r = 1.0, osc1_i = 0.0;    // e^{-j 2 pi f1 n stride / fs}
    std::uint64_t count = 0;              // frames taken so far
    std::vector<window_sums> products;    // the last window + 1 frames' terms, oldest overwritten
    std::size_t slot = 0;                 // the oldest term
    window_sums sums;                     // over the whole window, the fraction before it not
};

// The upper tone is twice the lower if not given. Throws fskdec_error for a window, rate,
// tone or stride of 0 or less or a fraction outside [0, 1).
tone_correlator make_tone_correlator(std::int32_t window, std::int32_t sample_rate,
                                     std::int32_t lower_tone, std::int32_t stride = 1,
                                     double fraction = 0.0, std::int32_t upper_tone = 0);

void correlate_sample(tone_correlator& c, double y);

// The sums over the window and the fraction of the frame before it.
window_sums correlator_sums(const tone_correlator& c);

// The correlator's per-frame state, held in locals while a piece of the input runs through.
struct correlator_registers {
    double osc_r, osc_i, osc1_r, osc1_i;
    window_sums sums;
    std::size_t slot;
    std::uint64_t count;
};

inline correlator_registers load_registers(const tone_correlator& c) {
    return {c.osc_r, c.osc_i, c.osc1_r, c.osc1_i, c.sums, c.slot, c.count};
}

inline void store_registers(tone_correlator& c, const correlator_registers& r) {
    c.osc_r = r.osc_r;
    c.osc_i = r.osc_i;
    c.osc1_r = r.osc1_r;
    c.osc1_i = r.osc1_i;
    c.sums = r.sums;
    c.slot = r.slot;
    c.count = r.count;
}

inline window_sums with_fraction(const window_sums& s, const window_sums& oldest, double f) {
    return {s.r0 + f * oldest.r0, s.i0 + f * oldest.i0, s.r1 + f * oldest.r1, s.i1 + f * oldest.i1,
            s.energy + f * oldest.energy};
}

// The oscillators set from their exact phase and, now and then, the sums from their terms.
void resync_correlator(tone_correlator& c, correlator_registers& r);

inline void correlate(tone_correlator& c, correlator_registers& r, double y) {
    const window_sums in{y * r.osc_r, y * r.osc_i, y * r.osc1_r, y * r.osc1_i, y * y};
    const std::size_t size = c.products.size();
    std::size_t next = r.slot + 1;
    if (next == size) next = 0;
    const window_sums& out = c.products[next];  // leaves the whole window, kept for the fraction
    r.sums.r0 += in.r0 - out.r0;
    r.sums.i0 += in.i0 - out.i0;
    r.sums.r1 += in.r1 - out.r1;
    r.sums.i1 += in.i1 - out.i1;
    r.sums.energy += in.energy - out.energy;
    c.products[r.slot] = in;
    r.slot = next;
    ++r.count;
    if (r.count % tuning::oscillator_resync == 0) {
        resync_correlator(c, r);
    } else {
        const double re = r.osc_r * c.step_r - r.osc_i * c.step_i;
        r.osc_i = r.osc_r * c.step_i + r.osc_i * c.step_r;
        r.osc_r = re;
        const double re1 = r.osc1_r * c.step1_r - r.osc1_i * c.step1_i;
        r.osc1_i = r.osc1_r * c.step1_i + r.osc1_i * c.step1_r;
        r.osc1_r = re1;
    }
}
