#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// What a recording says about its samples.
struct audio_format {
    std::int32_t channels = 0;     // 1 or 2
    std::int32_t sample_rate = 0;  // frames per second, as the header says (not validated)
    double full_scale = 0.0;       // 2^(bits-1) for integer PCM, 1.0 for float and containers
};

// The file behind an open input (from fstat), so a caller can tell whether an output path
// names the very file being read. `known` is false for memory images.
struct input_identity {
    bool known = false;
    std::uint64_t device = 0, inode = 0;
};

// The samples of one recording, read front to back in pieces.
class sample_source {
  public:
    virtual ~sample_source() = default;
    virtual const audio_format& format() const = 0;
    virtual input_identity identity() const = 0;
    // Reads up to out.size() / channels whole frames, channels interleaved, into `out`.
    // Returns the frames read; 0 only at the end of the data (or when `out` cannot hold one
    // frame). A trailing partial frame is dropped. Throws fskdec_error("cannot read PATH") on
    // a read error.
    virtual std::size_t read(std::span<double> out) = 0;
    // After read returned 0: the frames read when the data ended because the rest of the file
    // could not be decoded (a container cut short); none when the data simply ended.
    virtual std::optional<std::uint64_t> cut_short_at() const { return std::nullopt; }
};
