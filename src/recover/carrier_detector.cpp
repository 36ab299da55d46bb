#include "recover/carrier_detector.h"

#include <algorithm>

#include "recover/tuning.h"

carrier_change feed(carrier_detector& c, double quality, double fit, std::uint64_t frame,
                    bool noisy) {
    c.quality += (quality - c.quality) * tuning::quality_weight;
    c.tone_fit += (fit - c.tone_fit) * tuning::fit_weight;
    c.lasting += (quality - c.lasting) * tuning::lasting_weight;
    if (quality > tuning::good_bit) {
        if (c.run == 0) c.run_start = frame;
        ++c.run;
        if (c.run >= tuning::good_run) c.last_good = frame;
    } else {
        c.run = 0;
    }
    if (!c.on && c.quality > tuning::carrier_on && c.tone_fit > tuning::fit_on) {
        c.on = true;
        return carrier_change::began;
    }
    const bool poor =
        c.quality < tuning::carrier_off && (!noisy || c.lasting < tuning::carrier_off);
    if (c.on && (poor || c.tone_fit < tuning::fit_off)) {
        c.on = false;
        return carrier_change::ended;
    }
    return carrier_change::none;
}

void reset(carrier_detector& c) {
    c = carrier_detector{};
}

double frequency_fit(double tone_offset, double clock_offset) {
    const double deviation = (tone_offset - clock_offset) / tuning::fit_span;
    return std::max(0.0, 1.0 - deviation * deviation);
}
