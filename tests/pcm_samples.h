#pragma once

// Raw PCM sample data as the demodulators see it: the values of whole frames, channels
// interleaved, handed out by a sample_buffer and read through a sample_window.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/sample_buffer.h"
#include "demod/detector.h"
#include "demod/framing.h"
#include "demod/plan.h"
#include "demod/sample_window.h"

// How the bytes of a frame hold its samples: channel c's sample starts at byte c * bits / 8,
// whatever padding a larger block_align adds after them.
struct pcm_layout {
    std::int32_t channels = 1;
    std::int32_t bits = 16;        // 8: unsigned with 128 as zero; 16: signed little-endian
    std::int32_t block_align = 2;  // bytes per frame
};

// Every value a source holds, channels interleaved, read in pieces as the decoders read.
inline std::vector<double> read_all(sample_source& source) {
    const auto channels = static_cast<std::size_t>(source.format().channels);
    std::vector<double> values;
    std::vector<double> piece(4096 * channels);
    for (std::size_t got; (got = source.read(piece)) > 0;)
        values.insert(values.end(), piece.begin(),
                      piece.begin() + static_cast<std::ptrdiff_t>(got * channels));
    return values;
}

inline audio_format pcm_format(std::int32_t channels, std::int32_t sample_rate, std::int32_t bits) {
    return {channels, sample_rate, bits == 8 ? 128.0 : 32768.0};
}

// Each sample of the whole frames in `data` as its integer value. A channel whose sample
// would not fit inside its frame (a block_align smaller than the channels need) reads 0.
inline std::vector<double> pcm_values(std::span<const std::uint8_t> data, const pcm_layout& pcm) {
    const auto step = static_cast<std::size_t>(pcm.block_align);
    const auto width = static_cast<std::size_t>(pcm.bits / 8);
    std::vector<double> values;
    if (step == 0) return values;
    for (std::size_t at = 0; at + step <= data.size(); at += step) {
        for (std::size_t c = 0; c < static_cast<std::size_t>(pcm.channels); ++c) {
            const std::size_t off = c * width;
            if (off + width > step) {
                values.push_back(0.0);
            } else if (width == 1) {
                values.push_back(static_cast<double>(int{data[at + off]} - 128));
            } else {
                const auto raw =
                    static_cast<std::uint16_t>(data[at + off] | (data[at + off + 1] << 8));
                values.push_back(static_cast<double>(static_cast<std::int16_t>(raw)));
            }
        }
    }
    return values;
}

// A source and the window one channel of it is read through (the source outlives any move).
struct sample_input {
    std::unique_ptr<sample_buffer> source;
    sample_window window;
};

// Reads in pieces of at most `read_limit` frames (0: as many as asked for), keeping the
// history the detectors need behind the furthest frame, or `history` frames when given.
inline sample_input open_samples(const audio_format& format, std::vector<double> values,
                                 const demod_config& config, std::int32_t channel = 0,
                                 std::size_t read_limit = 0, std::size_t history = 0) {
    sample_input input;
    input.source = std::make_unique<sample_buffer>(format, std::move(values), read_limit);
    input.window =
        make_sample_window(*input.source, channel, history > 0 ? history : detector_history(config),
                           config.phase_sign < 0);
    return input;
}

// Every frame stays reachable, read up front: for callers that jump back and forth at will.
inline sample_input open_whole(const audio_format& format, std::vector<double> values,
                               const demod_config& config) {
    const std::size_t frames = values.size() / static_cast<std::size_t>(format.channels);
    sample_input input = open_samples(format, std::move(values), config, 0, 0, frames + 1);
    count_frames(input.window);
    return input;
}

// Decodes `values` read in pieces of at most `read_limit` frames (0: no limit).
inline std::vector<std::uint8_t> decode_values(const audio_format& format,
                                               std::vector<double> values,
                                               const demod_config& config, bool plain = false,
                                               std::int32_t channel = 0,
                                               std::size_t read_limit = 0) {
    sample_input input = open_samples(format, std::move(values), config, channel, read_limit);
    return decode_window(input.window, config, plain);
}
