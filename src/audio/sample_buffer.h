#pragma once

#include <span>
#include <vector>

#include "audio/sample_source.h"

// Samples already in memory, channels interleaved, handed out in reads of at most
// `read_limit` frames (0: no limit), so a caller can see a recording cut into pieces of any
// size.
class sample_buffer : public sample_source {
  public:
    sample_buffer(audio_format format, std::vector<double> samples, std::size_t read_limit = 0);
    const audio_format& format() const override { return format_; }
    input_identity identity() const override { return {}; }
    std::size_t read(std::span<double> out) override;

  private:
    audio_format format_;
    std::vector<double> samples_;
    std::size_t read_limit_;
    std::size_t next_ = 0;  // next value to hand out
};
