#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "audio/sample_source.h"

// The samples of one channel that the detectors can still reach, read from a source in
// pieces as they are asked for. Frames are counted from the start of the recording; the
// window keeps the newest ones in a ring, at most `history` frames behind the furthest frame
// asked for (plus the piece read past it), so memory is of the order of the history however
// long the recording. The ring starts small and grows as frames arrive, so a recording
// shorter than the history takes memory of its own size only.
struct sample_window {
    sample_source* source = nullptr;
    std::int32_t channel = 0;   // 0-based
    std::int32_t channels = 1;  // per frame in the source
    bool negate = false;        // the samples enter negated (a reversed phase)
    std::size_t capacity = 0;   // the ring's largest size, a power of two
    std::vector<double> ring;   // frame t at ring[t & mask]
    std::size_t mask = 0;
    std::uint64_t loaded = 0;   // frames read so far
    bool ended = false;         // the source has no more
    std::vector<double> piece;  // one read from the source, channels interleaved
    // Sees every piece as it is read (all channels, interleaved), for a report beside the
    // decoding. May be empty.
    std::function<void(std::span<const double>)> observe;
};

// Frames read from the source in one piece.
inline constexpr std::size_t window_piece_frames = 4096;

// A window over `source` that keeps `history` frames reachable behind the furthest frame
// asked for. Throws fskdec_error "illegal channel" unless `channel` (from 0) is one of the
// source's.
sample_window make_sample_window(sample_source& source, std::int32_t channel, std::size_t history,
                                 bool negate);

// A window without a source, whose frames are pushed in (one channel): push_frames adds
// them, and `ended` is set once there are no more. has_frame must not be asked for a frame
// beyond those pushed before the window has ended.
sample_window make_pushed_window(std::size_t history, bool negate);

// Appends up to window_piece_frames frames to a pushed window. Like a read from a source, it
// may overwrite frames more than the history behind the furthest frame asked for: push only
// when the frame asked for next is not yet there.
void push_frames(sample_window& window, std::span<const double> frames);

// Reads until `frame` is present or the source ends; true when the frame exists.
bool has_frame(sample_window& window, std::uint64_t frame);

// The sample of a frame that has_frame found and that lies within the history.
inline double frame_value(const sample_window& window, std::uint64_t frame) {
    assert(frame < window.loaded && window.loaded - frame <= window.ring.size());
    return window.ring[static_cast<std::size_t>(frame) & window.mask];
}

// Frames in the whole recording: reads to the end.
std::uint64_t count_frames(sample_window& window);
