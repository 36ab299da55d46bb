#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The canonical 44-byte header for integer PCM data of `data_size` bytes.
std::vector<std::uint8_t> make_wav_header(std::int32_t channels, std::int32_t sample_rate,
                                          std::int32_t quantization_bit, std::uint32_t data_size);

// Values normalised to full scale 1.0, as PCM bytes: 8-bit clamp(lround(v * 127), -128, 127)
// + 128; 16-bit clamp(lround(v * 32767), -32768, 32767) little-endian. Any other width throws
// fskdec_error.
void append_pcm(std::span<const double> values, std::int32_t quantization_bit,
                std::vector<std::uint8_t>& out);
