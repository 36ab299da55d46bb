#pragma once

// Builds WAV file images for the tests: any header field, any chunk order, any declared size,
// so that malformed and unusual files can be written as easily as canonical ones.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using byte_vector = std::vector<std::uint8_t>;

// The fields of a fmt chunk, each written exactly as given.
struct fmt_fields {
    std::uint16_t tag = 1;
    std::uint16_t channels = 1;
    std::uint32_t sample_rate = 44100;
    std::uint16_t block_align = 2;
    std::uint16_t bits = 16;
};

inline constexpr std::array<std::uint8_t, 16> pcm_guid = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
inline constexpr std::array<std::uint8_t, 16> float_guid = {
    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

inline void put_u16(byte_vector& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put_u32(byte_vector& out, std::uint32_t v) {
    put_u16(out, v & 0xFFFFu);
    put_u16(out, v >> 16);
}

inline void put_id(byte_vector& out, const std::string& id) {
    for (const char c : id)
        out.push_back(static_cast<std::uint8_t>(c));
}

// A fmt chunk body of `size` bytes (16, 18, 40, ...). From 18 bytes on it carries the
// extension size, from 40 bytes on the valid bits, a channel mask and `subformat`.
inline byte_vector fmt_body(const fmt_fields& f, std::size_t size = 16,
                            const std::array<std::uint8_t, 16>& subformat = pcm_guid) {
    byte_vector b;
    put_u16(b, f.tag);
    put_u16(b, f.channels);
    put_u32(b, f.sample_rate);
    put_u32(b, f.sample_rate * f.block_align);
    put_u16(b, f.block_align);
    put_u16(b, f.bits);
    if (size >= 18) put_u16(b, static_cast<std::uint32_t>(size - 18));
    if (size >= 40) {
        put_u16(b, f.bits);
        put_u32(b, 0);
        b.insert(b.end(), subformat.begin(), subformat.end());
    }
    b.resize(size, 0);
    return b;
}

// One chunk; `declared` replaces the size field (the body written is always `body`).
struct chunk {
    std::string id;
    byte_vector body;
    std::optional<std::uint32_t> declared = {};
};

// "RIFF", the size of the rest, "WAVE", then the chunks in order, each odd body padded.
inline byte_vector riff_wave(const std::vector<chunk>& chunks) {
    byte_vector out;
    put_id(out, "RIFF");
    put_u32(out, 0);
    put_id(out, "WAVE");
    for (const chunk& c : chunks) {
        put_id(out, c.id);
        put_u32(out, c.declared.value_or(static_cast<std::uint32_t>(c.body.size())));
        out.insert(out.end(), c.body.begin(), c.body.end());
        if (c.body.size() % 2 == 1) out.push_back(0);
    }
    const auto rest = static_cast<std::uint32_t>(out.size() - 8);
    for (int k = 0; k < 4; ++k)
        out[4 + k] = static_cast<std::uint8_t>(rest >> (8 * k));
    return out;
}

// The canonical layout: 44 header bytes, then `data`; the data size field may lie.
inline byte_vector canonical_wav(const fmt_fields& f, const byte_vector& data,
                                 std::optional<std::uint32_t> declared = {}) {
    return riff_wave({{"fmt ", fmt_body(f)}, {"data", data, declared}});
}

// 16-bit little-endian sample data.
inline byte_vector s16_samples(const std::vector<int>& samples) {
    byte_vector out;
    for (int s : samples)
        put_u16(out, static_cast<std::uint32_t>(s));
    return out;
}
