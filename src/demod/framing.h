#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "demod/detector.h"
#include "demod/fast_detector.h"
#include "demod/sample_window.h"

// One decoded byte and where its start bit's deciding window began.
struct framed_byte {
    std::uint8_t value = 0;
    std::uint64_t start_frame = 0;
};

// Receives each decoded byte as soon as it is complete.
using byte_sink = std::function<void(const framed_byte&)>;

// Receives the frames from .. to - 1 of each window in which the start-bit search heard the
// idle (upper) tone: with the bytes, where the detector heard the carrier.
using idle_sink = std::function<void(std::uint64_t from, std::uint64_t to)>;

// The asynchronous framing over the whole recording: find a start bit (lower tone), read
// eight data bits least significant first, emit the byte, repeat until the data ends.
// `detect` is called as detect(cursor) and behaves as detect_bit does.
template <class Detect>
void frame_bytes(sample_window& window, const demod_config& config, Detect&& detect,
                 const byte_sink& emit, const idle_sink& idle = {}) {
    const auto n = static_cast<std::uint64_t>(config.frames_per_bit);
    // The first window reaches the end of data that holds at most one window, and every
    // result from a window that reached the end during the start-bit search is discarded.
    if (!has_frame(window, n)) return;

    const auto start_step_back = static_cast<std::uint64_t>(config.carrier_period / 2);
    const auto bit_step_back = static_cast<std::uint64_t>(config.carrier_period / 8 + 1);
    std::uint64_t cursor = 0;
    while (has_frame(window, cursor)) {
        int bit = detect(cursor);
        while (bit == 1) {
            if (idle) idle(cursor - n, cursor);  // a 1 is always a real detection
            if (!has_frame(window, cursor)) return;
            cursor -= start_step_back;
            bit = detect(cursor);
        }
        if (!has_frame(window, cursor)) return;  // running out of data is no start bit

        const std::uint64_t start_frame = cursor - n;
        unsigned byte = 0;
        for (int k = 0; k < 8; ++k) {
            cursor -= bit_step_back;
            bit = detect(cursor);
            byte = (byte >> 1) + static_cast<unsigned>(bit) * 128u;
            if (!has_frame(window, cursor)) break;  // a byte cut short keeps the bits so far
        }
        emit({static_cast<std::uint8_t>(byte), start_frame});
    }
}

// Decodes with the plain detector, whose every window goes through mixed_radix_dft.
void decode_bytes_plain(sample_window& window, const demod_config& config, const byte_sink& emit);

// What the default decoding needs, taken before any byte is decoded (so before an output is
// opened): the first window's frames read, and the detector planned when there is more than
// one window of data (anything shorter decodes to nothing).
struct exact_decoder {
    demod_config config;
    bool decodable = false;
    fast_detector detector;
};

exact_decoder prepare_exact_decoder(sample_window& window, const demod_config& config);

// Decodes with the fastest detector that yields exactly the plain detector's bytes.
void decode_bytes(sample_window& window, exact_decoder& decoder, const byte_sink& emit,
                  const idle_sink& idle = {});

// The bytes of the whole window decoded into memory, with decode_bytes, or with
// decode_bytes_plain when `plain` (benchmarks, tests and fuzzers compare the two).
std::vector<std::uint8_t> decode_window(sample_window& window, const demod_config& config,
                                        bool plain = false);

// prepare_exact_decoder, then decode_bytes.
void decode_bytes(sample_window& window, const demod_config& config, const byte_sink& emit);
