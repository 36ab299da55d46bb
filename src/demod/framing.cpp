#include "demod/framing.h"

#include "demod/fast_detector.h"

void decode_bytes_plain(std::span<const std::uint8_t> data, const demod_config& config,
                        const byte_sink& emit) {
    frame_bytes(
        data, config, [&](std::size_t& cursor) { return detect_bit(data, cursor, config); }, emit);
}

void decode_bytes(std::span<const std::uint8_t> data, const demod_config& config,
                  const byte_sink& emit) {
    // Data of at most one window decodes to nothing (frame_bytes returns before the first
    // detection): build no detector, whose tables are sized by the window, for it.
    if (!fast_detector_applies(config) ||
        data.size() / config.frame_bytes <= static_cast<std::size_t>(config.frames_per_bit)) {
        decode_bytes_plain(data, config, emit);
        return;
    }
    fast_detector detector = make_fast_detector(data, config);
    frame_bytes(
        data, config, [&](std::size_t& cursor) { return detect_bit_fast(detector, cursor); }, emit);
}
