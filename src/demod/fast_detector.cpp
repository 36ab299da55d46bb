#include "demod/fast_detector.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "wav/wav.h"

namespace {

// One twiddle factor exactly as mixed_radix_dft forms it for bin k of child j at length n.
void put_twiddle(std::vector<double>& out, std::int32_t k, std::int32_t j, std::int32_t n) {
    const double two_pi_j = two_pi * j;
    const double theta = k * two_pi_j / n;
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    out.push_back(c);
    out.push_back(s);
}

template <bool eight_bit>
double sample_value(const std::uint8_t* frame, std::int32_t phase_sign) {
    const int sample = sample_at(frame, eight_bit ? 8 : 16);
    return static_cast<double>(sample * phase_sign);
}

// Computes the nodes of the deepest level (whose children are the samples themselves) for
// start frames from .. to - 1. A sample is the child (sample, 0): its imaginary part only
// ever adds products with an exact zero, so it is left out (the sign of a zero aside, the
// sums are the same).
template <bool eight_bit>
void fill_sample_level(const tone_bins& bins, bin_level& level, std::size_t from, std::size_t to) {
    const std::size_t p = static_cast<std::size_t>(level.factor);
    const std::size_t hop = level.stride * bins.frame_bytes;
    const double* tw = level.twiddles.data();
    const std::uint8_t* base = bins.data.data();
    for (std::size_t t = from; t < to; ++t) {
        const std::uint8_t* frame = base + t * bins.frame_bytes;
        double lr = 0.0, li = 0.0, hr = 0.0, hi = 0.0;
        for (std::size_t j = 0; j < p; ++j, frame += hop) {
            const double v = sample_value<eight_bit>(frame, bins.phase_sign);
            const double* w = tw + 4 * j;
            lr += w[0] * v;
            li += w[1] * v;
            hr += w[2] * v;
            hi += w[3] * v;
        }
        level.ring[t & level.mask] = {{lr, li}, {hr, hi}};
    }
}

// Computes the nodes of `level` for start frames from .. to - 1 from those of `child`, the
// next deeper level, which must hold every child they read.
void fill_inner_level(bin_level& level, const bin_level& child, std::size_t from, std::size_t to) {
    const std::size_t p = static_cast<std::size_t>(level.factor);
    const double* tw = level.twiddles.data();
    const bin_pair* ring = child.ring.data();
    const std::size_t mask = child.mask;
    for (std::size_t t = from; t < to; ++t) {
        double lr = 0.0, li = 0.0, hr = 0.0, hi = 0.0;
        std::size_t at = t;
        for (std::size_t j = 0; j < p; ++j, at += level.stride) {
            const bin_pair& x = ring[at & mask];
            const double* w = tw + 4 * j;
            lr += w[0] * x.low.re - w[1] * x.low.im;
            li += w[0] * x.low.im + w[1] * x.low.re;
            hr += w[2] * x.high.re - w[3] * x.high.im;
            hi += w[2] * x.high.im + w[3] * x.high.re;
        }
        level.ring[t & level.mask] = {{lr, li}, {hr, hi}};
    }
}

// Makes `level` hold the nodes of start frames start .. start + stride - 1 and returns the
// first start frame it still has to compute (the nodes it held are kept where they fit).
std::size_t claim_range(bin_level& level, std::size_t start) {
    if (start < level.first || start > level.last) level.first = level.last = start;
    const std::size_t from = level.last;
    level.last = std::max(level.last, start + level.stride);
    const std::size_t capacity = level.mask + 1;
    if (level.last - level.first > capacity) level.first = level.last - capacity;
    return from;
}

template <bool eight_bit>
bin_pair window_bins_of(tone_bins& bins, std::size_t start) {
    const std::size_t depth = bins.levels.size();
    {
        bin_level& deepest = bins.levels[depth - 1];
        const std::size_t from = claim_range(deepest, start);
        fill_sample_level<eight_bit>(bins, deepest, from, start + deepest.stride);
    }
    for (std::size_t d = depth - 1; d-- > 0;) {
        bin_level& level = bins.levels[d];
        const std::size_t from = claim_range(level, start);
        fill_inner_level(level, bins.levels[d + 1], from, start + level.stride);
    }
    const bin_level& top = bins.levels[0];
    return top.ring[start & top.mask];
}

}  // namespace

tone_bins plan_tone_bins(std::span<const std::uint8_t> data, const demod_config& config) {
    tone_bins bins;
    bins.data = data;
    bins.frame_bytes = config.frame_bytes;
    bins.frames = (data.size() + config.frame_bytes - 1) / config.frame_bytes;
    bins.quantization_bit = config.quantization_bit;
    bins.phase_sign = config.phase_sign;

    const std::int32_t low_bin = config.carrier_bin;
    const std::int32_t high_bin = 2 * config.carrier_bin;
    std::int32_t length = config.frames_per_bit;
    std::size_t stride = 1;
    while (length > 1) {
        bin_level level;
        level.length = length;
        level.factor = smallest_factor(length);
        level.stride = stride;
        const std::int32_t k_low = low_bin % length;
        const std::int32_t k_high = high_bin % length;
        level.twiddles.reserve(4 * static_cast<std::size_t>(level.factor));
        for (std::int32_t j = 0; j < level.factor; ++j) {
            put_twiddle(level.twiddles, k_low, j, length);
            put_twiddle(level.twiddles, k_high, j, length);
        }
        const std::size_t capacity = std::bit_ceil(stride);
        level.ring.resize(capacity);
        level.mask = capacity - 1;
        bins.levels.push_back(std::move(level));
        stride *= static_cast<std::size_t>(bins.levels.back().factor);
        length /= bins.levels.back().factor;
    }
    return bins;
}

bin_pair window_bins(tone_bins& bins, std::size_t start) {
    if (bins.quantization_bit == 8) return window_bins_of<true>(bins, start);
    return window_bins_of<false>(bins, start);
}

bool fast_detector_applies(const demod_config& config) {
    return config.frames_per_bit >= 2 && config.carrier_bin >= 0 &&
           2 * std::int64_t{config.carrier_bin} < config.frames_per_bit && config.frame_bytes > 0;
}

fast_detector make_fast_detector(std::span<const std::uint8_t> data, const demod_config& config) {
    fast_detector detector;
    detector.config = config;
    detector.bins = plan_tone_bins(data, config);
    detector.window.resize(static_cast<std::size_t>(config.frames_per_bit));
    detector.spectrum.resize(static_cast<std::size_t>(config.frames_per_bit));
    return detector;
}

int detect_bit_fast(fast_detector& detector, std::size_t& cursor) {
    const demod_config& config = detector.config;
    tone_bins& bins = detector.bins;
    const std::span<const std::uint8_t> data = bins.data;
    const std::size_t step = config.frame_bytes;
    // Windows keyed by frame need a cursor on a frame boundary, as the framing keeps it.
    if (cursor % step != 0) return detect_bit(data, cursor, config);

    const std::size_t end = data.size();
    const auto n = static_cast<std::size_t>(config.frames_per_bit);
    const auto a = static_cast<std::size_t>(config.carrier_bin);
    double prev_low = 0.0;
    double prev_high = 0.0;
    bool first_position = true;
    std::size_t prev_start = 0;
    while (cursor < end) {
        if (prev_low >= config.slide_level || prev_high >= config.slide_level) {
            cursor -= (n - 1) * step;
        }
        const std::size_t start = cursor / step;
        bit_verdict v;
        if (start + n <= bins.frames) {
            const bin_pair pair = window_bins(bins, start);
            cursor += n * step;
            v = judge_bins(pair.low, pair.high, config);
        } else {
            // The window runs past the end of the data: the entries the data does not fill
            // keep the previous position's samples (0 at a call's first position), as in
            // detect_bit. That previous window lay wholly inside the data.
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t frame = start + i;
                if (frame < bins.frames) {
                    detector.window[i] = {static_cast<double>(sample_at(data.data() + frame * step,
                                                                        config.quantization_bit) *
                                                              config.phase_sign),
                                          0.0};
                } else if (first_position) {
                    detector.window[i] = {};
                } else {
                    detector.window[i] = {
                        static_cast<double>(sample_at(data.data() + (prev_start + i) * step,
                                                      config.quantization_bit) *
                                            config.phase_sign),
                        0.0};
                }
            }
            mixed_radix_dft(detector.window.data(), detector.spectrum.data(),
                            config.frames_per_bit);
            cursor = bins.frames * step;
            v = judge_bins(detector.spectrum[a], detector.spectrum[2 * a], config);
        }
        if (v.bit >= 0) return v.bit;
        prev_low = v.low;
        prev_high = v.high;
        prev_start = start;
        first_position = false;
    }
    return 0;
}
