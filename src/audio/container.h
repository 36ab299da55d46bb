#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "audio/byte_input.h"
#include "audio/sample_source.h"

// Whether the first bytes carry the four-byte mark of a format read through libsndfile: FLAC,
// AIFF or AIFF-C, Ogg, or MP3 behind an ID3 tag.
bool has_container_mark(std::span<const std::uint8_t> head);

// Whether the first four bytes are a valid MPEG audio frame header of layer II or III, as an
// MP3 without an ID3 tag begins: the 11-bit frame sync, then a version, layer, bit rate and
// sample rate that are not reserved. Layer I is left out: its header is FF FE or FF FF
// followed by almost anything, as a UTF-16 byte-order mark or a run of 0xFF begins.
bool is_mpeg_frame(std::span<const std::uint8_t> head);

// Whether an input is read through libsndfile: a container mark or an MPEG frame header.
bool is_container(std::span<const std::uint8_t> head);

// Opens such an input, `in` standing anywhere within its retained prefix. Samples come as
// doubles normalised to full scale 1.0. Throws fskdec_error: "cannot read PATH" when the
// library cannot read it, the channel rule, "cannot allocate memory" when it holds no frame.
// A file the library stops decoding part-way (a FLAC file cut short) ends there, as a cut WAV
// file does: the source's cut_short_at() then gives the frames read. A failure to read the
// input's bytes stays "cannot read PATH".
std::unique_ptr<sample_source> open_container(byte_input in);
