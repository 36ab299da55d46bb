#include "recover/level_tracker.h"

#include <cmath>

#include "recover/tuning.h"

namespace {

double learn(std::optional<double>& heard, double mag) {
    heard = heard ? *heard + (mag - *heard) * tuning::level_weight : mag;
    return *heard;
}

}  // namespace

void reset(level_tracker& t) {
    t = level_tracker{};
}

void learn_bit(level_tracker& t, double mag0, double mag1, double margin, double quality) {
    if (quality < tuning::level_quality || std::abs(margin) < tuning::level_margin) return;
    if (margin > 0.0) {
        if (!(mag1 > 0.0)) return;
        t.upper = learn(t.upper_heard, mag1);
        if (!t.lower_heard) t.lower = t.upper;
    } else {
        if (!(mag0 > 0.0)) return;
        t.lower = learn(t.lower_heard, mag0);
        if (!t.upper_heard) t.upper = t.lower;
    }
}
