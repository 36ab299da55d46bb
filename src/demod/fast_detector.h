#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "demod/detector.h"
#include "demod/dft.h"
#include "demod/sample_window.h"

// The detector reads only bins a and 2a of each window. This file evaluates just those two,
// through the very decimation tree mixed_radix_dft walks, with the same operations in the
// same order, so every value equals the full transform's (an exact zero may differ in sign,
// which neither a later sum nor any comparison can see).
//
// The tree: the window is the node of depth 0. A node of depth d has length L_d, its samples
// lie stride_d = N / L_d frames apart from its first frame `start`, and its p_d children
// (p_d the smallest prime factor of L_d) start at start + j * stride_d. Its bin k is
//     sum over j of e^(+2 pi i k j / L_d) * child_j[k mod L_(d+1)],
// accumulated in j order. At depth d only the bins a mod L_d and 2a mod L_d are ever read.
//
// A node's value depends only on its depth and its start frame, so the windows at successive
// start frames share all but one node per depth. Each depth keeps its most recent nodes in a
// ring keyed by start frame; a window one frame after the previous one costs one new node per
// depth, about the sum of N's prime factors in complex multiply-adds per bin.

// Windows evaluated together at most (while the window slides, the next positions are
// likely to be needed).
inline constexpr std::size_t max_window_batch = 8;

// The values of the two bins of one node.
struct bin_pair {
    complex_value low;   // bin a mod L_d
    complex_value high;  // bin 2a mod L_d
};

// Two doubles side by side, lane 0 for the low bin and lane 1 for the high bin: each lane
// performs exactly the scalar operations, in the same order.
using bin_lanes = double __attribute__((vector_size(16)));

// A node's two bins (or a twiddle pair: cos in re, sin in im), one bin per lane.
struct bin_node {
    bin_lanes re;
    bin_lanes im;
};

// One depth of the tree: its twiddle factors and its ring of recent nodes.
struct bin_level {
    std::int32_t length = 0;         // L_d
    std::int32_t factor = 0;         // p_d
    std::size_t stride = 0;          // N / L_d
    std::vector<bin_node> twiddles;  // per child j
    std::vector<bin_node> ring;      // node of start frame t at ring[t & mask]
    std::size_t mask = 0;
    // The ring holds the nodes of start frames first .. last - 1.
    std::size_t first = 0;
    std::size_t last = 0;
};

// The tree for one window length and the nodes computed so far. A pure function of the
// samples and the configuration: keeping it across windows and detector calls changes no
// result.
struct tone_bins {
    std::vector<bin_level> levels;  // depth 0 (the window) first; the samples are not a level
};

// Plans the tree for `config`: twiddles for the used (depth, child, bin) triples only, so the
// plan takes memory of the order of N, never N squared. Needs frames_per_bit >= 2 and
// 0 <= carrier_bin with 2 * carrier_bin < frames_per_bit.
tone_bins plan_tone_bins(const demod_config& config);

// Computes bins a and 2a of the windows of N frames starting at frames start .. start +
// count - 1, whose every frame `window` must hold, with 1 <= count <= max_window_batch.
void evaluate_windows(tone_bins& bins, const sample_window& window, std::size_t start,
                      std::size_t count);

// The bins of a window that the last evaluate_windows call covered.
inline bin_pair evaluated_window(const tone_bins& bins, std::size_t start) {
    const bin_level& top = bins.levels[0];
    const bin_node& node = top.ring[start & top.mask];
    return {{node.re[0], node.im[0]}, {node.re[1], node.im[1]}};
}

// Bins a and 2a of the window of N frames starting at frame `start`, whose every frame
// `window` must hold.
bin_pair window_bins(tone_bins& bins, const sample_window& window, std::size_t start);

// Bins a and 2a of a window of N values held in an array, through the same tree (about N
// complex multiply-adds per bin, whatever N's factors).
bin_pair array_bins(const tone_bins& bins, const complex_value* window);

// A detector equivalent to detect_bit, decision for decision and cursor for cursor, with its
// state kept across calls.
struct fast_detector {
    demod_config config;
    tone_bins bins;
    // Squared magnitudes |bin|^2 (computed as re * re + im * im, as judge_bins does) from which
    // on the magnitude judge_bins derives reaches a level: the magnitude is a rounded square
    // root divided by N, which never decreases as its argument grows, so comparing it with a
    // level is the same as comparing the squared magnitude with the smallest double that gets
    // there. A position whose phase or level rules out both tones is then decided from these
    // alone; any other goes through judge_bins.
    double slide_square = 0.0;   // magnitude >= slide_level from here on
    double detect_square = 0.0;  // magnitude > detect_level from here on
    // The window that runs past the end of the data, built as detect_bit leaves it.
    std::vector<complex_value> end_window;
};

// The smallest non-negative double m with sqrt(m) / n > level (or >= level when not
// `strict`), as judge_bins rounds it; +infinity when no finite m gets there.
double square_threshold(double level, double n, bool strict);

// True when the configuration suits the fast detector (it always does for a configuration
// from make_demod_config); otherwise the plain detector must be used.
bool fast_detector_applies(const demod_config& config);

// Everything the detector needs, allocated here (of the order of N), before any decoding.
fast_detector make_fast_detector(const demod_config& config);

// What the detector takes from one window position: the bit it decides (-1 for none) and
// whether either tone reached the slide level.
struct position_verdict {
    int bit = -1;
    bool slide = false;
};

// judge_bins' verdict on the window that evaluate_windows covered at `start`, without a
// square root unless the phase and the level leave a tone in the running.
position_verdict judge_node(const fast_detector& detector, std::size_t start);

// The verdict on a window at `start` that runs past the end of the data (window.loaded
// frames, all read): its missing entries hold the samples of the window at `prev_start`, the
// previous position of the same detector call, or 0 at the call's first position.
position_verdict judge_end_window(fast_detector& detector, const sample_window& window,
                                  std::uint64_t start, bool first_position,
                                  std::uint64_t prev_start);

// Behaves exactly as detect_bit(window, cursor, config) does.
int detect_bit_fast(fast_detector& detector, sample_window& window, std::uint64_t& cursor);
