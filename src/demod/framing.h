#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "demod/detector.h"

// Receives each decoded byte as soon as it is complete.
using byte_sink = std::function<void(std::uint8_t)>;

// The asynchronous framing over the whole data: find a start bit (lower tone), read eight
// data bits least significant first, emit the byte, repeat until the data ends. `detect`
// is called as detect(cursor) and behaves as detect_bit does. Here and below, `data` holds
// whole frames (load_wav and parse_wav trim it so), as the detectors read a frame whole.
template <class Detect>
void frame_bytes(std::span<const std::uint8_t> data, const demod_config& config, Detect&& detect,
                 const byte_sink& emit) {
    const std::size_t end = data.size();
    const std::size_t step = config.frame_bytes;
    // The first window reaches the end of data that holds at most one window, and every
    // result from a window that reached the end during the start-bit search is discarded.
    if (end / step <= static_cast<std::size_t>(config.frames_per_bit)) return;

    const std::size_t start_step_back = static_cast<std::size_t>(config.carrier_period / 2) * step;
    const std::size_t bit_step_back =
        static_cast<std::size_t>(config.carrier_period / 8 + 1) * step;
    std::size_t cursor = 0;
    while (cursor < end) {
        int bit = detect(cursor);
        while (bit == 1) {
            if (cursor >= end) return;
            cursor -= start_step_back;
            bit = detect(cursor);
        }
        if (cursor >= end) return;  // running out of data is no start bit

        unsigned byte = 0;
        for (int k = 0; k < 8; ++k) {
            cursor -= bit_step_back;
            bit = detect(cursor);
            byte = (byte >> 1) + static_cast<unsigned>(bit) * 128u;
            if (cursor >= end) break;  // a byte cut short keeps the bits gathered so far
        }
        emit(static_cast<std::uint8_t>(byte));
    }
}

// Decodes with the plain detector, whose every window goes through mixed_radix_dft.
void decode_bytes_plain(std::span<const std::uint8_t> data, const demod_config& config,
                        const byte_sink& emit);

// Decodes with the fastest detector that yields exactly the plain detector's bytes.
void decode_bytes(std::span<const std::uint8_t> data, const demod_config& config,
                  const byte_sink& emit);
