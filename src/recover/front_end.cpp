#include "recover/front_end.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "recover/tuning.h"

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

biquad make_biquad(double b0, double b1, double b2, double a0, double a1, double a2) {
    biquad f;
    f.b0 = b0 / a0;
    f.b1 = b1 / a0;
    f.b2 = b2 / a0;
    f.a1 = a1 / a0;
    f.a2 = a2 / a0;
    return f;
}

// Second-order sections by the bilinear transform.
// Critically damped: its tail after a strong tone is short.
biquad high_pass(double corner, double rate) {
    const double w = two_pi * corner / rate;
    const double c = std::cos(w);
    const double alpha = std::sin(w);
    return make_biquad((1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0, 1.0 + alpha, -2.0 * c,
                       1.0 - alpha);
}

biquad low_pass(double corner, double rate) {
    const double w = two_pi * corner / rate;
    const double c = std::cos(w);
    const double alpha = std::sin(w) / std::numbers::sqrt2;
    return make_biquad((1.0 - c) / 2.0, 1.0 - c, (1.0 - c) / 2.0, 1.0 + alpha, -2.0 * c,
                       1.0 - alpha);
}

std::complex<double> response(const biquad& f, double freq, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -two_pi * freq / rate);
    return (f.b0 + f.b1 * z1 + f.b2 * z1 * z1) / (1.0 + f.a1 * z1 + f.a2 * z1 * z1);
}

}  // namespace

front_end make_front_end(std::int32_t lower_tone, std::int32_t upper_tone,
                         std::int32_t sample_rate) {
    front_end f;
    const double f0 = lower_tone;
    const double f1 = upper_tone;
    f.stride =
        std::max<std::int32_t>(1, static_cast<std::int32_t>(static_cast<double>(sample_rate) /
                                                            (tuning::kept_per_upper_cycle * f1)));
    f.frame_rate = static_cast<double>(sample_rate) / f.stride;
    // The triangle's zeros fall on every multiple of the kept rate, where what folds onto the
    // tones comes from. The first kept frame is centred on the first input frame.
    f.phase = f.stride - 1;
    const auto taps_gain = [&](double freq) {
        if (f.stride == 1) return 1.0;
        const double x = std::numbers::pi * freq / sample_rate;
        const double g = std::sin(x * f.stride) / (f.stride * std::sin(x));
        return g * g;
    };
    const double rate = f.frame_rate;
    // The band the tones can occupy, off speed included: hum, DC and most hiss stay outside.
    f.band_low = tuning::high_pass_of_lower * f0;
    f.band_high = std::min(tuning::low_pass_of_upper * f1, tuning::low_pass_of_rate * rate);
    f.high_pass = high_pass(f.band_low, rate);
    f.low_pass = low_pass(f.band_high, rate);
    const auto chain = [&](double x) {
        return response(f.high_pass, x, rate) * response(f.low_pass, x, rate);
    };
    const auto g0 = chain(f0);
    const auto g1 = chain(f1);
    f.gain0 = std::abs(g0) * taps_gain(f0);
    f.gain1 = std::abs(g1) * taps_gain(f1);
    // Edges come out of the filters late by their group delay (the same across the band, near
    // enough); what phase they add beyond it is taken off each tone's phase for the polarity.
    const auto delay_at = [&](double x) {
        const double dx = 1.0;
        const double turn = std::arg(chain(x + dx) * std::conj(chain(x - dx)));
        return -turn * rate / (two_pi * 2.0 * dx);
    };
    f.delay = 0.5 * (delay_at(f0) + delay_at(f1));
    f.turn0 = std::remainder(std::arg(g0) + two_pi * f0 / rate * f.delay, two_pi);
    f.turn1 = std::remainder(std::arg(g1) + two_pi * f1 / rate * f.delay, two_pi);
    return f;
}

std::size_t decimate(front_end& f, std::span<const double>& in, std::span<double> out) {
    if (f.stride == 1) {
        const std::size_t count = std::min(in.size(), out.size());
        std::copy_n(in.begin(), count, out.begin());
        in = in.subspan(count);
        return count;
    }
    const std::int32_t stride = f.stride;
    const double scale = 1.0 / (static_cast<double>(stride) * stride);
    double rising = f.rising, rising_before = f.rising_before, falling = f.falling;
    std::int32_t phase = f.phase;
    std::size_t count = 0, used = 0;
    const std::size_t size = in.size(), room = out.size();
    if (room == 0) return 0;
    double* kept = out.data();
    while (used < size) {
        const double x = in[used++];
        rising += (phase + 1) * x;
        falling += (stride - 1 - phase) * x;
        // The kept frame of the block before has its last nonzero tap here.
        const bool full = phase == stride - 2 && (kept[count++] = (rising_before + falling) * scale,
                                                  falling = 0.0, count == room);
        if (++phase == stride) {
            rising_before = rising;
            rising = 0.0;
            phase = 0;
        }
        if (full) break;
    }
    f.rising = rising;
    f.rising_before = rising_before;
    f.falling = falling;
    f.phase = phase;
    in = in.subspan(used);
    return count;
}
