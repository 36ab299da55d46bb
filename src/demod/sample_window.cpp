#include "demod/sample_window.h"

#include <algorithm>
#include <bit>

#include "base/error.h"

sample_window make_sample_window(sample_source& source, std::int32_t channel, std::size_t history,
                                 bool negate) {
    if (channel < 0 || channel >= source.format().channels) throw fskdec_error("illegal channel");
    sample_window window;
    window.source = &source;
    window.channel = channel;
    window.channels = source.format().channels;
    window.negate = negate;
    window.capacity = std::bit_ceil(history + window_piece_frames);
    window.piece.resize(window_piece_frames * static_cast<std::size_t>(window.channels));
    return window;
}

namespace {

// Makes the ring hold `frames` frames (up to its capacity), keeping the frames it holds.
void grow_ring(sample_window& window, std::uint64_t frames) {
    std::size_t size = std::max<std::size_t>(window.ring.size(), 2 * window_piece_frames);
    while (size < frames && size < window.capacity)
        size *= 2;
    size = std::min(size, window.capacity);
    if (size <= window.ring.size()) return;
    std::vector<double> ring(size);
    const std::size_t mask = size - 1;
    const std::uint64_t kept = std::min<std::uint64_t>(window.loaded, window.ring.size());
    for (std::uint64_t t = window.loaded - kept; t < window.loaded; ++t)
        ring[static_cast<std::size_t>(t) & mask] = frame_value(window, t);
    window.ring = std::move(ring);
    window.mask = mask;
}

// Appends `frames` frames, each the sample at `in`, `in + channels`, ... to the ring.
void store_frames(sample_window& window, const double* in, std::size_t frames,
                  std::size_t channels) {
    if (window.loaded + frames > window.ring.size()) grow_ring(window, window.loaded + frames);
    const std::size_t mask = window.mask;
    double* ring = window.ring.data();
    std::uint64_t t = window.loaded;
    if (window.negate) {
        for (std::size_t i = 0; i < frames; ++i, ++t, in += channels)
            ring[static_cast<std::size_t>(t) & mask] = 0.0 - *in;  // +0 for a zero, as -1 * 0
    } else {
        for (std::size_t i = 0; i < frames; ++i, ++t, in += channels)
            ring[static_cast<std::size_t>(t) & mask] = *in;
    }
    window.loaded = t;
}

void read_piece(sample_window& window) {
    const std::size_t frames = window.source->read(window.piece);
    if (frames == 0) {
        window.ended = true;
        return;
    }
    const auto channels = static_cast<std::size_t>(window.channels);
    if (window.observe) window.observe({window.piece.data(), frames * channels});
    store_frames(window, window.piece.data() + window.channel, frames, channels);
}

}  // namespace

sample_window make_pushed_window(std::size_t history, bool negate) {
    sample_window window;
    window.negate = negate;
    window.capacity = std::bit_ceil(history + window_piece_frames);
    return window;
}

void push_frames(sample_window& window, std::span<const double> frames) {
    assert(window.source == nullptr && !window.ended && frames.size() <= window_piece_frames);
    store_frames(window, frames.data(), frames.size(), 1);
}

bool has_frame(sample_window& window, std::uint64_t frame) {
    while (frame >= window.loaded && !window.ended)
        read_piece(window);
    return frame < window.loaded;
}

std::uint64_t count_frames(sample_window& window) {
    while (!window.ended)
        read_piece(window);
    return window.loaded;
}
