#include "audio/riff.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

#include "base/error.h"

namespace {

constexpr std::size_t fixed_header_size = 44;
constexpr std::size_t fmt_size = 16;             // the fields the decoder needs
constexpr std::size_t extensible_fmt_size = 40;  // ... plus the sub-format GUID
// The most sample data a stream may carry before its fmt chunk: it is held in memory until the
// format is known. Writers that put data first (rare) write short files.
constexpr std::size_t held_data_limit = std::size_t{16} << 20;
constexpr std::uint16_t tag_pcm = 1;
constexpr std::uint16_t tag_float = 3;
constexpr std::uint16_t tag_extensible = 0xFFFE;
// The sub-format GUID of WAVE_FORMAT_EXTENSIBLE is the plain format tag followed by these.
constexpr std::array<std::uint8_t, 14> guid_tail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t u16_at(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t{u16_at(b, at)} | (std::uint32_t{u16_at(b, at + 2)} << 16);
}

bool has_id(std::span<const std::uint8_t> b, std::size_t at, const char* id) {
    return b.size() >= at + 4 && std::memcmp(b.data() + at, id, 4) == 0;
}

// The plain tag an extensible fmt names by its sub-format, or 0 when it names none.
std::uint16_t subformat_tag(std::span<const std::uint8_t> fmt) {
    if (fmt.size() < extensible_fmt_size) return 0;
    if (!std::equal(guid_tail.begin(), guid_tail.end(), fmt.begin() + 26)) return 0;
    return u16_at(fmt, 24);
}

}  // namespace

wav_data read_fmt(std::span<const std::uint8_t> fmt) {
    std::uint16_t tag = u16_at(fmt, 0);
    if (tag == tag_extensible) tag = subformat_tag(fmt);
    if (tag != tag_pcm && tag != tag_float) throw fskdec_error("not PCM");
    wav_data d;
    d.format.channels = static_cast<std::int16_t>(u16_at(fmt, 2));
    d.format.sample_rate = static_cast<std::int32_t>(u32_at(fmt, 4));
    const std::int32_t block_align = static_cast<std::int16_t>(u16_at(fmt, 12));
    const std::int32_t bits = static_cast<std::int16_t>(u16_at(fmt, 14));
    if (d.format.channels != 1 && d.format.channels != 2) {
        throw fskdec_error("the number of channels must be 1 or 2");
    }
    if (tag == tag_pcm) {
        static constexpr sample_encoding by_bytes[] = {sample_encoding::u8, sample_encoding::s16,
                                                       sample_encoding::s24, sample_encoding::s32};
        if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
            throw fskdec_error("quantization_bit must be 8, 16, 24 or 32");
        }
        d.layout.encoding = by_bytes[bits / 8 - 1];
        d.format.full_scale = std::ldexp(1.0, bits - 1);
    } else {
        if (bits != 32 && bits != 64) {
            throw fskdec_error("floating-point samples must be 32 or 64 bits");
        }
        d.layout.encoding = bits == 32 ? sample_encoding::f32 : sample_encoding::f64;
        d.format.full_scale = 1.0;
    }
    if (block_align < bits / 8) throw fskdec_error("illegal block align");
    d.layout.channels = d.format.channels;
    d.layout.block_align = block_align;
    d.layout.sample_bytes = bits / 8;
    return d;
}

namespace {

// The walk over the chunks of a RIFF WAVE input standing just past its 12-byte preamble.
// The first fmt and the first data chunk count. A chunk that claims more than the input holds
// ends the walk; for the data chunk this is a truncated recording, whose bytes present are the
// data.
wav_data walk_riff_chunks(byte_input& in) {
    std::array<std::uint8_t, extensible_fmt_size> fmt{};
    std::size_t fmt_length = 0;
    bool have_data = false;
    std::uint64_t data_offset = 0;
    std::uint32_t data_declared = 0;
    std::vector<std::uint8_t> held;

    for (;;) {
        std::array<std::uint8_t, 8> head{};
        if (in.read_full(head.data(), head.size()) < head.size()) break;
        const std::uint32_t size = u32_at(head, 4);
        const std::uint64_t padded = std::uint64_t{size} + (size & 1u);
        std::uint64_t taken = 0;  // body bytes read already
        if (has_id(head, 0, "data") && !have_data) {
            have_data = true;
            data_offset = in.position();
            data_declared = size;
            if (fmt_length > 0) break;
            if (!in.seekable()) {
                // A stream cannot come back for its data once fmt turns up after it. The
                // held bytes grow as they arrive, never to a size only declared, and never
                // past held_data_limit.
                try {
                    std::array<std::uint8_t, 1 << 16> piece{};
                    while (held.size() < size) {
                        const std::size_t want =
                            std::min<std::size_t>(piece.size(), size - held.size());
                        const std::size_t got = in.read_some(piece.data(), want);
                        if (got == 0) break;
                        if (held.size() + got > held_data_limit) {
                            throw fskdec_error("data before the fmt chunk exceeds 16 MiB");
                        }
                        held.insert(held.end(), piece.begin(),
                                    piece.begin() + static_cast<std::ptrdiff_t>(got));
                    }
                } catch (const std::bad_alloc&) {
                    throw fskdec_error("cannot allocate memory");
                }
                taken = held.size();
                if (taken < size) break;
            }
        } else if (has_id(head, 0, "fmt ") && fmt_length == 0 && size >= fmt_size) {
            const std::size_t want = std::min<std::size_t>(size, fmt.size());
            const std::size_t got = in.read_full(fmt.data(), want);
            taken = got;
            if (got < want) {
                if (got >= fmt_size) fmt_length = got;
                break;
            }
            fmt_length = got;
            if (have_data) break;
        }
        if (!in.skip(padded - taken)) break;
    }
    if (fmt_length == 0 || !have_data) throw fskdec_error("not a WAV file");

    wav_data d = read_fmt({fmt.data(), fmt_length});
    if (in.seekable()) {
        if (!in.seek(data_offset)) throw fskdec_error("cannot read " + in.path());
        d.limit =
            std::min<std::uint64_t>(data_declared, in.size() - std::min(data_offset, in.size()));
    } else if (in.position() == data_offset) {
        d.limit = data_declared;
    } else {
        d.held = true;
        d.limit = held.size();
        d.held_bytes = std::move(held);
    }
    return d;
}

}  // namespace

wav_data read_wav_header(byte_input& in, std::span<const std::uint8_t> head) {
    if (head.size() >= 12 && has_id(head, 0, "RIFF") && has_id(head, 8, "WAVE")) {
        return walk_riff_chunks(in);
    }
    // Anything else is read at the fixed offsets of the canonical layout, chunk ids unexamined.
    std::array<std::uint8_t, fixed_header_size> header{};
    std::copy(head.begin(), head.end(), header.begin());
    const std::size_t rest = header.size() - head.size();
    if (in.read_full(header.data() + head.size(), rest) < rest) {
        throw fskdec_error("not a WAV file");
    }
    wav_data d = read_fmt(std::span<const std::uint8_t>(header).subspan(20, fmt_size));
    d.limit = u32_at(header, 40);
    return d;
}
