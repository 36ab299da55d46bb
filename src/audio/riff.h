#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "audio/byte_input.h"
#include "audio/pcm.h"
#include "audio/sample_source.h"

// Where the samples of a WAV input stand and how they are encoded.
struct wav_data {
    audio_format format;
    pcm_layout layout;
    std::uint64_t limit = 0;  // at most this many data bytes follow (fewer if the input ends)
    // A stream whose data came before its fmt chunk: the data bytes, held until fmt arrived.
    bool held = false;
    std::vector<std::uint8_t> held_bytes;
};

// Checks a fmt chunk body (at least 16 bytes; 40 with the sub-format GUID) in the order
// tag, channels, width, block align. Throws fskdec_error.
wav_data read_fmt(std::span<const std::uint8_t> fmt);

// Reads the header of a WAV input whose first `head.size()` bytes (those sniffed, at most 12)
// have been read from `in` already: a RIFF WAVE file by its chunks, anything else by the fixed
// 44-byte layout. Leaves `in` at the first data byte (unless the data is held: a stream
// whose data chunk comes before its fmt chunk, of which at most 16 MiB are held, more throwing
// "data before the fmt chunk exceeds 16 MiB"). Throws fskdec_error.
wav_data read_wav_header(byte_input& in, std::span<const std::uint8_t> head);
