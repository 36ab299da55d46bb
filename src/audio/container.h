#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "audio/byte_input.h"
#include "audio/sample_source.h"

// Whether the first bytes of an input name a format read through libsndfile: FLAC, AIFF or
// AIFF-C, Ogg, or MP3 behind an ID3 tag.
bool is_container(std::span<const std::uint8_t> head);

// Opens such an input, `in` standing anywhere within its retained prefix. Samples come as
// doubles normalised to full scale 1.0. Throws fskdec_error: "cannot read PATH" when the
// library cannot read it, the channel rule, "cannot allocate memory" when it holds no frame.
std::unique_ptr<sample_source> open_container(byte_input in);
