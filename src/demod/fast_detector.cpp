#include "demod/fast_detector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include <vector>

namespace {

// One twiddle factor exactly as mixed_radix_dft forms it for bin k of child j at length n.
void twiddle(std::int32_t k, std::int32_t j, std::int32_t n, double& c, double& s) {
    const double two_pi_j = two_pi * j;
    const double theta = k * two_pi_j / n;
    c = std::cos(theta);
    s = std::sin(theta);
}

// The nodes of the deepest level (whose children are the samples themselves) for start frames
// from .. to - 1. A sample is the child (sample, 0): its imaginary part only ever adds
// products with an exact zero, so it is left out (the sign of a zero aside, the sums are the
// same). The first child's twiddle is exactly 1 + 0i, so the sum starts at that child
// itself. P is the level's factor when known at compile time, 0 otherwise.
template <int P>
void fill_sample_level(const sample_window& window, bin_level& level, std::size_t from,
                       std::size_t to) {
    const std::size_t p =
        P > 0 ? static_cast<std::size_t>(P) : static_cast<std::size_t>(level.factor);
    const std::size_t hop = level.stride;
    const bin_node* tw = level.twiddles.data();
    bin_node* ring = level.ring.data();
    const std::size_t mask = level.mask;
    const double* samples = window.ring.data();
    const std::size_t sample_mask = window.mask;
    for (std::size_t t = from; t < to; ++t) {
        const double v0 = samples[t & sample_mask];
        bin_lanes re = {v0, v0};
        bin_lanes im = {0.0, 0.0};
        std::size_t at = t + hop;
        for (std::size_t j = 1; j < p; ++j, at += hop) {
            const double v = samples[at & sample_mask];
            const bin_lanes x = {v, v};
            re = re + tw[j].re * x;
            im = im + tw[j].im * x;
        }
        ring[t & mask].re = re;
        ring[t & mask].im = im;
    }
}

// The nodes of `level` for start frames from .. to - 1 from those of `child`, the next
// deeper level, which must hold every child they read. As above, the sum starts at the
// first child, whose twiddle is 1 + 0i (0 + 1*x - 0*y equals x but for the sign of a zero).
template <int P>
void fill_inner_level(bin_level& level, const bin_level& child, std::size_t from, std::size_t to) {
    const std::size_t p =
        P > 0 ? static_cast<std::size_t>(P) : static_cast<std::size_t>(level.factor);
    const bin_node* tw = level.twiddles.data();
    const bin_node* in = child.ring.data();
    const std::size_t in_mask = child.mask;
    bin_node* ring = level.ring.data();
    const std::size_t mask = level.mask;
    const std::size_t stride = level.stride;
    for (std::size_t t = from; t < to; ++t) {
        bin_lanes re = in[t & in_mask].re;
        bin_lanes im = in[t & in_mask].im;
        std::size_t at = t + stride;
        for (std::size_t j = 1; j < p; ++j, at += stride) {
            const bin_node& x = in[at & in_mask];
            re = re + (tw[j].re * x.re - tw[j].im * x.im);
            im = im + (tw[j].re * x.im + tw[j].im * x.re);
        }
        ring[t & mask].re = re;
        ring[t & mask].im = im;
    }
}

void fill_samples(const sample_window& window, bin_level& level, std::size_t from, std::size_t to) {
    switch (level.factor) {
        case 2:
            return fill_sample_level<2>(window, level, from, to);
        case 3:
            return fill_sample_level<3>(window, level, from, to);
        case 5:
            return fill_sample_level<5>(window, level, from, to);
        case 7:
            return fill_sample_level<7>(window, level, from, to);
        default:
            return fill_sample_level<0>(window, level, from, to);
    }
}

void fill_inner(bin_level& level, const bin_level& child, std::size_t from, std::size_t to) {
    switch (level.factor) {
        case 2:
            return fill_inner_level<2>(level, child, from, to);
        case 3:
            return fill_inner_level<3>(level, child, from, to);
        case 5:
            return fill_inner_level<5>(level, child, from, to);
        case 7:
            return fill_inner_level<7>(level, child, from, to);
        default:
            return fill_inner_level<0>(level, child, from, to);
    }
}

// Makes `level` hold the nodes of start frames start .. need_end - 1 and returns the first
// start frame it still has to compute (the nodes it held are kept where they fit).
std::size_t claim_range(bin_level& level, std::size_t start, std::size_t need_end) {
    if (start < level.first || start > level.last) level.first = level.last = start;
    const std::size_t from = level.last;
    level.last = std::max(level.last, need_end);
    const std::size_t capacity = level.mask + 1;
    if (level.last - level.first > capacity) level.first = level.last - capacity;
    return from;
}

// Computes, deepest level first, every node the windows at start .. start + count - 1 need.
// The nodes of one level are independent of each other, so a batch of windows keeps several
// sums in flight at once.
void evaluate_windows_of(tone_bins& bins, const sample_window& window, std::size_t start,
                         std::size_t count) {
    const std::size_t depth = bins.levels.size();
    {
        bin_level& deepest = bins.levels[depth - 1];
        const std::size_t need_end = start + count - 1 + deepest.stride;
        const std::size_t from = claim_range(deepest, start, need_end);
        fill_samples(window, deepest, from, need_end);
    }
    for (std::size_t d = depth - 1; d-- > 0;) {
        bin_level& level = bins.levels[d];
        const std::size_t need_end = start + count - 1 + level.stride;
        const std::size_t from = claim_range(level, start, need_end);
        fill_inner(level, bins.levels[d + 1], from, need_end);
    }
}

// judge_node for the detector here: internal, so that it is inlined as before.
position_verdict judge_position(const fast_detector& detector, std::size_t start) {
    const bin_level& top = detector.bins.levels[0];
    const bin_node& node = top.ring[start & top.mask];
    const bin_lanes square = node.re * node.re + node.im * node.im;
    const bool low_candidate =
        node.re[0] <= 0.0 && node.im[0] <= 0.0 && square[0] >= detector.detect_square;
    const bool high_candidate =
        node.re[1] <= 0.0 && node.im[1] <= 0.0 && square[1] >= detector.detect_square;
    if (low_candidate || high_candidate) {
        const demod_config& config = detector.config;
        const bit_verdict v =
            judge_bins({node.re[0], node.im[0]}, {node.re[1], node.im[1]}, config);
        return {v.bit, v.low >= config.slide_level || v.high >= config.slide_level};
    }
    return {-1, square[0] >= detector.slide_square || square[1] >= detector.slide_square};
}

}  // namespace

position_verdict judge_node(const fast_detector& detector, std::size_t start) {
    return judge_position(detector, start);
}

tone_bins plan_tone_bins(const demod_config& config) {
    tone_bins bins;

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
        level.twiddles.resize(static_cast<std::size_t>(level.factor));
        for (std::int32_t j = 0; j < level.factor; ++j) {
            double c_low = 0.0, s_low = 0.0, c_high = 0.0, s_high = 0.0;
            twiddle(k_low, j, length, c_low, s_low);
            twiddle(k_high, j, length, c_high, s_high);
            bin_node& w = level.twiddles[static_cast<std::size_t>(j)];
            w.re = bin_lanes{c_low, c_high};
            w.im = bin_lanes{s_low, s_high};
        }
        const std::size_t capacity = std::bit_ceil(stride + max_window_batch - 1);
        level.ring.resize(capacity);
        level.mask = capacity - 1;
        bins.levels.push_back(std::move(level));
        stride *= static_cast<std::size_t>(bins.levels.back().factor);
        length /= bins.levels.back().factor;
    }
    return bins;
}

void evaluate_windows(tone_bins& bins, const sample_window& window, std::size_t start,
                      std::size_t count) {
    evaluate_windows_of(bins, window, start, count);
}

bin_pair window_bins(tone_bins& bins, const sample_window& window, std::size_t start) {
    evaluate_windows(bins, window, start, 1);
    return evaluated_window(bins, start);
}

namespace {

// The node of `depth` whose values are window[offset + l * stride], l < its length: a child
// value is complete (re and im), exactly as mixed_radix_dft combines its sub-transforms.
bin_node array_node(const tone_bins& bins, const complex_value* window, std::size_t depth,
                    std::size_t offset) {
    if (depth == bins.levels.size()) {
        const complex_value x = window[offset];
        return {bin_lanes{x.re, x.re}, bin_lanes{x.im, x.im}};
    }
    const bin_level& level = bins.levels[depth];
    bin_node sum{bin_lanes{0.0, 0.0}, bin_lanes{0.0, 0.0}};
    for (std::size_t j = 0; j < static_cast<std::size_t>(level.factor); ++j) {
        const bin_node x = array_node(bins, window, depth + 1, offset + j * level.stride);
        const bin_node& w = level.twiddles[j];
        sum.re = sum.re + (w.re * x.re - w.im * x.im);
        sum.im = sum.im + (w.re * x.im + w.im * x.re);
    }
    return sum;
}

}  // namespace

bin_pair array_bins(const tone_bins& bins, const complex_value* window) {
    const bin_node node = array_node(bins, window, 0, 0);
    return {{node.re[0], node.im[0]}, {node.re[1], node.im[1]}};
}

bool fast_detector_applies(const demod_config& config) {
    return config.frames_per_bit >= 2 && config.carrier_bin >= 0 &&
           2 * std::int64_t{config.carrier_bin} < config.frames_per_bit;
}

double square_threshold(double level, double n, bool strict) {
    const auto reaches = [&](double m) {
        const double magnitude = std::sqrt(m) / n;
        return strict ? magnitude > level : magnitude >= level;
    };
    const double largest = std::numeric_limits<double>::max();
    if (!reaches(largest)) return std::numeric_limits<double>::infinity();
    // Non-negative doubles are ordered as their bit patterns: search those.
    std::uint64_t low = 0;
    std::uint64_t high = std::bit_cast<std::uint64_t>(largest);
    while (low < high) {
        const std::uint64_t mid = low + (high - low) / 2;
        if (reaches(std::bit_cast<double>(mid))) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return std::bit_cast<double>(low);
}

fast_detector make_fast_detector(const demod_config& config) {
    fast_detector detector;
    detector.config = config;
    detector.bins = plan_tone_bins(config);
    const double n = static_cast<double>(config.frames_per_bit);
    detector.slide_square = square_threshold(config.slide_level, n, false);
    detector.detect_square = square_threshold(config.detect_level, n, true);
    detector.end_window.resize(static_cast<std::size_t>(config.frames_per_bit));
    return detector;
}

position_verdict judge_end_window(fast_detector& detector, const sample_window& window,
                                  std::uint64_t start, bool first_position,
                                  std::uint64_t prev_start) {
    // The entries the data does not fill keep the previous position's samples (0 at a call's
    // first position), as in detect_bit. That previous window lay wholly inside the data.
    const demod_config& config = detector.config;
    const auto n = static_cast<std::uint64_t>(config.frames_per_bit);
    const std::uint64_t frames = window.loaded;
    std::vector<complex_value>& samples = detector.end_window;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t frame = start + i;
        if (frame < frames) {
            samples[i] = {frame_value(window, frame), 0.0};
        } else if (first_position) {
            samples[i] = {};
        } else {
            samples[i] = {frame_value(window, prev_start + i), 0.0};
        }
    }
    const bin_pair end_bins = array_bins(detector.bins, samples.data());
    const bit_verdict full = judge_bins(end_bins.low, end_bins.high, config);
    return {full.bit, full.low >= config.slide_level || full.high >= config.slide_level};
}

int detect_bit_fast(fast_detector& detector, sample_window& window, std::uint64_t& cursor) {
    const demod_config& config = detector.config;
    tone_bins& bins = detector.bins;
    const auto n = static_cast<std::uint64_t>(config.frames_per_bit);
    bool slide = false;  // the previous position of this call reached the slide level
    bool first_position = true;
    std::uint64_t prev_start = 0;
    while (has_frame(window, cursor)) {
        if (slide) cursor -= n - 1;
        const std::uint64_t start = cursor;
        position_verdict v;
        if (has_frame(window, start + n - 1)) {
            // (Evaluating the next few positions ahead in one batch was measured slower: most
            // calls decide within a position or two.)
            evaluate_windows(bins, window, start, 1);
            v = judge_position(detector, start);
            cursor += n;
        } else {
            v = judge_end_window(detector, window, start, first_position, prev_start);
            cursor = window.loaded;
        }
        if (v.bit >= 0) return v.bit;
        slide = v.slide;
        prev_start = start;
        first_position = false;
    }
    return 0;
}
