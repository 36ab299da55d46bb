#include "audio/sample_buffer.h"

#include <algorithm>

sample_buffer::sample_buffer(audio_format format, std::vector<double> samples,
                             std::size_t read_limit)
    : format_(format), samples_(std::move(samples)), read_limit_(read_limit) {}

std::size_t sample_buffer::read(std::span<double> out) {
    const auto channels = static_cast<std::size_t>(std::max(format_.channels, 1));
    std::size_t frames = std::min(out.size(), samples_.size() - next_) / channels;
    if (read_limit_ > 0) frames = std::min(frames, read_limit_);
    std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(next_), frames * channels,
                out.begin());
    next_ += frames * channels;
    return frames;
}
