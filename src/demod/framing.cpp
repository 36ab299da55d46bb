#include "demod/framing.h"

void decode_bytes_plain(std::span<const std::uint8_t> data, const demod_config& config,
                        const byte_sink& emit) {
    frame_bytes(
        data, config, [&](std::size_t& cursor) { return detect_bit(data, cursor, config); }, emit);
}

void decode_bytes(std::span<const std::uint8_t> data, const demod_config& config,
                  const byte_sink& emit) {
    decode_bytes_plain(data, config, emit);
}
