#include "recover/tone_correlator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "base/error.h"

namespace {

void set_oscillator(tone_correlator& c) {
    const auto rate = static_cast<std::uint64_t>(c.sample_rate);
    const std::uint64_t at = ((c.count % rate) * static_cast<std::uint64_t>(c.stride)) % rate;
    const std::uint64_t turn = (at * static_cast<std::uint64_t>(c.lower_tone)) % rate;
    const double angle =
        2.0 * std::numbers::pi * static_cast<double>(turn) / static_cast<double>(rate);
    c.osc_r = std::cos(angle);
    c.osc_i = -std::sin(angle);
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
    set_oscillator(c);
    r.osc_r = c.osc_r;
    r.osc_i = c.osc_i;
    if (r.count % tuning::sums_resync == 0) r.sums = total_of(c, r.slot);
}

tone_correlator make_tone_correlator(std::int32_t window, std::int32_t sample_rate,
                                     std::int32_t lower_tone, std::int32_t stride,
                                     double fraction) {
    if (window <= 0 || sample_rate <= 0 || lower_tone <= 0 || stride <= 0 ||
        !(fraction >= 0.0 && fraction < 1.0)) {
        throw fskdec_error("unusable correlator settings");
    }
    tone_correlator c;
    c.window = window;
    c.sample_rate = sample_rate;
    c.lower_tone = lower_tone;
    c.stride = stride;
    c.fraction = fraction;
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(lower_tone) *
                         static_cast<double>(stride) / static_cast<double>(sample_rate);
    c.step_r = std::cos(angle);
    c.step_i = -std::sin(angle);
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
