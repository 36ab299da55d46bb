#include "audio/wav_writer.h"

#include <algorithm>
#include <cmath>

#include "base/error.h"

std::vector<std::uint8_t> make_wav_header(std::int32_t channels, std::int32_t sample_rate,
                                          std::int32_t quantization_bit, std::uint32_t data_size) {
    auto block_align = static_cast<std::uint32_t>(channels * (quantization_bit / 8));
    std::vector<std::uint8_t> header;
    header.reserve(44);
    auto text = [&](const char* id) { header.insert(header.end(), id, id + 4); };
    auto u16 = [&](std::uint32_t v) {
        header.push_back(static_cast<std::uint8_t>(v));
        header.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFFu);
        u16(v >> 16);
    };
    text("RIFF");
    u32(data_size > 0xFFFFFFFFu - 36 ? 0xFFFFFFFFu : data_size + 36);
    text("WAVE");
    text("fmt ");
    u32(16);
    u16(1);
    u16(static_cast<std::uint32_t>(channels));
    u32(static_cast<std::uint32_t>(sample_rate));
    u32(static_cast<std::uint32_t>(sample_rate) * block_align);
    u16(block_align);
    u16(static_cast<std::uint32_t>(quantization_bit));
    text("data");
    u32(data_size);
    return header;
}

void append_pcm(std::span<const double> values, std::int32_t quantization_bit,
                std::vector<std::uint8_t>& out) {
    if (quantization_bit == 8) {
        for (const double v : values) {
            const long s = std::clamp(std::lround(v * 127.0), -128L, 127L);
            out.push_back(static_cast<std::uint8_t>(s + 128));
        }
    } else if (quantization_bit == 16) {
        for (const double v : values) {
            const auto u =
                static_cast<std::uint16_t>(std::clamp(std::lround(v * 32767.0), -32768L, 32767L));
            out.push_back(static_cast<std::uint8_t>(u & 0xFF));
            out.push_back(static_cast<std::uint8_t>(u >> 8));
        }
    } else {
        throw fskdec_error("quantization_bit must be 8 or 16");
    }
}
