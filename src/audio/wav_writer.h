#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The canonical 44-byte header for PCM data of `data_size` bytes.
std::vector<std::uint8_t> make_wav_header(std::int32_t channels, std::int32_t sample_rate,
                                          std::int32_t quantization_bit, std::uint32_t data_size);

// Values normalised to full scale 1.0 as PCM bytes: 8-bit unsigned (clamp(round(v * 127)) +
// 128) or 16-bit signed little-endian (clamp(round(v * 32767))), rounding half away from
// zero and clamping to the format's range.
void append_pcm(std::span<const double> values, std::int32_t quantization_bit,
                std::vector<std::uint8_t>& out);
