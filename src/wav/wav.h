#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

// The five header values the decoder uses.
struct wav_format {
    std::int32_t channels = 0;
    std::int32_t sample_rate = 0;       // frames per second
    std::int32_t block_align = 0;       // bytes per frame
    std::int32_t quantization_bit = 0;  // 8 or 16
    std::uint32_t data_size = 0;        // bytes of sample data held (whole frames only)
};

// A loaded input: its format and its sample data, trimmed to whole frames.
struct wav_file {
    wav_format format;
    std::span<const std::uint8_t> data;         // the sample data, whole frames only
    std::shared_ptr<const std::uint8_t> image;  // owns the file image `data` lies in
};

// Where the sample data stands inside a file image.
struct wav_layout {
    wav_format format;
    std::size_t data_offset = 0;
};

// Little-endian readers; each advances the cursor past what it read.
std::int16_t read_s16le(const std::uint8_t*& cursor);
std::uint32_t read_u32le(const std::uint8_t*& cursor);

// The canonical 44-byte header, read at fixed offsets. Throws fskdec_error on an invalid
// header. data_size is the declared size, not yet checked against the file.
wav_format read_wav_header(std::span<const std::uint8_t, 44> header);

// Finds the format and the sample data in a whole file image: a RIFF WAVE file by walking
// its chunks, anything else through the fixed 44-byte layout. The data is clamped to the
// bytes present and trimmed to whole frames (data_size may then be 0: nothing to decode).
// Throws fskdec_error on an invalid or unusable file.
wav_layout parse_wav(std::span<const std::uint8_t> file);

// Everything `stream` holds (a regular file is read in one piece of its own size). Throws
// fskdec_error "cannot read PATH" on a read error, "cannot allocate memory" when out of memory.
std::vector<std::uint8_t> read_stream_bytes(std::FILE* stream, const std::string& path);

// Everything the file at `path` holds; a directory or a file that cannot be opened throws
// fskdec_error "cannot open PATH", and read_stream_bytes' errors pass through.
std::vector<std::uint8_t> read_file_bytes(const std::string& path);

// Reads the file at `path` whole and keeps its sample data. Throws fskdec_error.
wav_file load_wav(const std::string& path);

// The first channel's sample of the frame at `frame`: 8-bit data is unsigned with 128 as
// zero, 16-bit data is signed little-endian.
inline int sample_at(const std::uint8_t* frame, std::int32_t quantization_bit) {
    if (quantization_bit == 8) return int{frame[0]} - 128;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(frame[0] | (frame[1] << 8)));
}

// sample_at the cursor, then moves the cursor on by one whole frame.
inline int read_sample(const std::uint8_t*& cursor, const wav_format& format) {
    int sample = sample_at(cursor, format.quantization_bit);
    cursor += format.block_align;
    return sample;
}

#include "audio/wav_writer.h"  // make_wav_header, for the callers of this header
