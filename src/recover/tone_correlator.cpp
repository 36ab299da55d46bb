#include "recover/tone_correlator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "base/error.h"

namespace {

// A tone's phase at the next frame, exact: whole turns taken off in integers.
double phase_at(const tone_correlator& c, std::int64_t tone) {
    const auto rate = static_cast<std::uint64_t>(c.sample_rate);
    const std::uint64_t at = ((c.count % rate) * static_cast<std::uint64_t>(c.stride)) % rate;
    const std::uint64_t turn = (at * static_cast<std::uint64_t>(tone)) % rate;
    return 2.0 * std::numbers::pi * static_cast<double>(turn) / static_cast<double>(rate);
}

void set_oscillators(tone_correlator& c) {
    const double angle = phase_at(c, c.lower_tone);
    c.osc_r = std::cos(angle);
    c.osc_i = -std::sin(angle);
    const double angle1 = phase_at(c, c.upper_tone);
    c.osc1_r = std::cos(angle1);
    c.osc1_i = -std::sin(angle1);
}

// The exact sums of the whole window's terms, the oldest held excluded.
window_sums total_of(const tone_correlator& c, std::size_t oldest) {
    window_sums total;
    for (std::size_t k = 1; k < c.products.size(); ++k) {
        const window_sums& p = c.products[(oldest + k) % c.products.size()];
        total.r0 += p.r0;
        total.i0 += p.i0;
        total.r1 += p.r1;
        total.i1 += p.i1;
        total.energy += p.energy;
    }
    return total;
}

}  // namespace

[[gnu::noinline]] void resync_correlator(tone_correlator& c, correlator_registers& r) {
    c.count = r.count;
    set_oscillators(c);
    r.osc_r = c.osc_r;
    r.osc_i = c.osc_i;
    r.osc1_r = c.osc1_r;
    r.osc1_i = c.osc1_i;
    if (r.count % tuning::sums_resync == 0) r.sums = total_of(c, r.slot);
}

tone_correlator make_tone_correlator(std::int32_t window, std::int32_t sample_rate,
                                     std::int32_t lower_tone, std::int32_t stride, double fraction,
                                     std::int32_t upper_tone) {
    const std::int64_t upper = upper_tone != 0 ? upper_tone : 2 * std::int64_t{lower_tone};
    if (window <= 0 || sample_rate <= 0 || lower_tone <= 0 || upper <= 0 ||
        upper > std::numeric_limits<std::int32_t>::max() || stride <= 0 ||
        !(fraction >= 0.0 && fraction < 1.0)) {
        throw fskdec_error("unusable correlator settings");
    }
    tone_correlator c;
    c.window = window;
    c.sample_rate = sample_rate;
    c.lower_tone = lower_tone;
    c.upper_tone = upper;
    c.stride = stride;
    c.fraction = fraction;
    const auto step_angle = [&](std::int64_t tone) {
        return 2.0 * std::numbers::pi * static_cast<double>(tone) * static_cast<double>(stride) /
               static_cast<double>(sample_rate);
    };
    c.step_r = std::cos(step_angle(lower_tone));
    c.step_i = -std::sin(step_angle(lower_tone));
    c.step1_r = std::cos(step_angle(upper));
    c.step1_i = -std::sin(step_angle(upper));
    c.products.assign(static_cast<std::size_t>(window) + 1, window_sums{});
    return c;
}

window_sums correlator_sums(const tone_correlator& c) {
    return with_fraction(c.sums, c.products[c.slot], c.fraction);
}

void correlate_sample(tone_correlator& c, double y) {
    correlator_registers r = load_registers(c);
    correlate(c, r, y);
    store_registers(c, r);
}
