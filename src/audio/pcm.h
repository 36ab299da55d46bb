#pragma once

#include <cstddef>
#include <cstdint>

// The sample encodings of WAV data.
enum class sample_encoding { u8, s16, s24, s32, f32, f64 };

// How the samples stand in the frames of PCM data.
struct pcm_layout {
    sample_encoding encoding = sample_encoding::s16;
    std::int32_t channels = 1;      // 1 or 2
    std::int32_t block_align = 2;   // bytes per frame, at least one sample's bytes
    std::int32_t sample_bytes = 2;  // channel c starts at byte c * sample_bytes of the frame
};

// Turns `frames` whole frames at `bytes` into doubles, channels interleaved, into `out`
// (frames * channels values). Integers keep their integer value (8-bit data is unsigned with
// 128 as zero); floats keep theirs, except that NaN and infinities become 0. A channel that
// lies beyond the end of a narrow frame reads as 0.
void convert_frames(const pcm_layout& layout, const std::uint8_t* bytes, std::size_t frames,
                    double* out);
