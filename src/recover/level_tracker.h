#pragma once

#include <optional>

// The two tones' amplitudes (correlation magnitudes over a bit) as the discriminator divides
// them out, learnt from clear bits of the carrier at hand: the leader gives the upper tone,
// the first start bits the lower. Until a tone has been heard it is taken at the other's
// level (a balanced pair), before either at 1. reset() forgets both, where a carrier ends.
struct level_tracker {
    std::optional<double> lower_heard, upper_heard;
    double lower = 1.0, upper = 1.0;  // the levels in use
};

void reset(level_tracker& t);

// One bit's tone magnitudes, its discriminator margin (> 0 a mark) and its quality: a clear
// bit moves its tone's level.
void learn_bit(level_tracker& t, double mag0, double mag1, double margin, double quality);

// How far apart the levels in use are, as a ratio of 1 or more.
inline double imbalance(const level_tracker& t) {
    return t.lower > t.upper ? t.lower / t.upper : t.upper / t.lower;
}
