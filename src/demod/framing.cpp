#include "demod/framing.h"

void decode_bytes_plain(sample_window& window, const demod_config& config, const byte_sink& emit) {
    frame_bytes(
        window, config, [&](std::uint64_t& cursor) { return detect_bit(window, cursor, config); },
        emit);
}

exact_decoder prepare_exact_decoder(sample_window& window, const demod_config& config) {
    exact_decoder decoder;
    decoder.config = config;
    decoder.decodable = has_frame(window, static_cast<std::uint64_t>(config.frames_per_bit));
    // Data of at most one window decodes to nothing (frame_bytes returns before the first
    // detection): build no detector, whose tables are sized by the window, for it.
    if (decoder.decodable && fast_detector_applies(config)) {
        decoder.detector = make_fast_detector(config);
    }
    return decoder;
}

void decode_bytes(sample_window& window, exact_decoder& decoder, const byte_sink& emit,
                  const idle_sink& idle) {
    if (!decoder.decodable) return;
    if (!fast_detector_applies(decoder.config)) {
        frame_bytes(
            window, decoder.config,
            [&](std::uint64_t& cursor) { return detect_bit(window, cursor, decoder.config); }, emit,
            idle);
        return;
    }
    frame_bytes(
        window, decoder.config,
        [&](std::uint64_t& cursor) { return detect_bit_fast(decoder.detector, window, cursor); },
        emit, idle);
}

void decode_bytes(sample_window& window, const demod_config& config, const byte_sink& emit) {
    exact_decoder decoder = prepare_exact_decoder(window, config);
    decode_bytes(window, decoder, emit);
}

std::vector<std::uint8_t> decode_window(sample_window& window, const demod_config& config,
                                        bool plain) {
    std::vector<std::uint8_t> out;
    const byte_sink sink = [&](const framed_byte& b) { out.push_back(b.value); };
    if (plain) {
        decode_bytes_plain(window, config, sink);
    } else {
        decode_bytes(window, config, sink);
    }
    return out;
}
