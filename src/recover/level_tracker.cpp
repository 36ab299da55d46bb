#include "recover/level_tracker.h"

#include <cmath>

#include "recover/tuning.h"

namespace {

// A tone this far above the level learnt is another carrier's (a block rising out of the
// echoes around it): its level is learnt anew rather than followed bit by bit. (A tone
// falling is followed: hiss or an echo after a block must not become its level.)
bool stepped(double level, double mag) {
    return mag > level * tuning::level_step;
}

// The other tone's level learnt far below this one's.
bool apart(double level, double other) {
    return other * tuning::tones_apart < level;
}

double learn(std::optional<double>& heard, double mag) {
    if (heard && stepped(*heard, mag)) heard.reset();
    heard = heard ? *heard + (mag - *heard) * tuning::level_weight : mag;
    return *heard;
}

}  // namespace

void reset(level_tracker& t) {
    t = level_tracker{};
}

void learn_bit(level_tracker& t, double mag0, double mag1, double margin, double quality) {
    if (quality < tuning::level_quality || std::abs(margin) < tuning::level_margin) return;
    // The other tone, learnt further off than a pair's tones lie, was the other carrier's:
    // taken at this one's level until heard.
    if (margin > 0.0) {
        if (!(mag1 > 0.0)) return;
        t.upper = learn(t.upper_heard, mag1);
        if (t.lower_heard && apart(t.upper, *t.lower_heard)) t.lower_heard.reset();
        if (!t.lower_heard) t.lower = t.upper;
    } else {
        if (!(mag0 > 0.0)) return;
        t.lower = learn(t.lower_heard, mag0);
        if (t.upper_heard && apart(t.lower, *t.upper_heard)) t.upper_heard.reset();
        if (!t.upper_heard) t.upper = t.lower;
    }
}
