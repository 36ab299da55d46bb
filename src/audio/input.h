#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "audio/sample_source.h"

// Opens `path` ("-" is a file named "-") and reads its header: a WAV file (RIFF chunks, or the
// fixed 44-byte layout for anything unrecognised) or a container libsndfile reads. Before any
// read that would block, calls `before_block` (the caller flushes its output there, so a live
// decode shows its bytes). On return at least one byte of sample data is known to be present.
// Throws fskdec_error: "cannot open PATH", "cannot read PATH", the header's messages, and
// "cannot allocate memory" when there is no sample data.
std::unique_ptr<sample_source> open_audio(const std::string& path,
                                          std::function<void()> before_block = {});

// Whether the first bytes (12 are enough) mark a recording open_audio reads by its format:
// RIFF....WAVE, or a container's mark (see has_container_mark). An MPEG frame header alone
// does not count: it is two bytes that other data begins with too.
bool starts_like_recording(std::span<const std::uint8_t> head);

// The same over a file image in memory, which must outlive the source.
std::unique_ptr<sample_source> memory_audio(std::span<const std::uint8_t> image);
