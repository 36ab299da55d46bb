#include "audio/pcm.h"

#include <bit>
#include <cmath>

namespace {

// Each reader turns the sample at `p` into its value.
struct read_u8 {
    static double at(const std::uint8_t* p) { return static_cast<double>(int{p[0]} - 128); }
};
struct read_s16 {
    static double at(const std::uint8_t* p) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    }
};
struct read_s24 {
    static double at(const std::uint8_t* p) {
        // The top byte lands in the sign bit; the arithmetic shift brings it back down.
        const std::uint32_t u =
            (std::uint32_t{p[0]} << 8) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 24);
        return static_cast<std::int32_t>(u) >> 8;
    }
};
std::uint32_t u32_at(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
struct read_s32 {
    static double at(const std::uint8_t* p) { return static_cast<std::int32_t>(u32_at(p)); }
};
double finite_or_zero(double v) {
    return std::isfinite(v) ? v : 0.0;
}
struct read_f32 {
    static double at(const std::uint8_t* p) {
        return finite_or_zero(std::bit_cast<float>(u32_at(p)));
    }
};
struct read_f64 {
    static double at(const std::uint8_t* p) {
        const std::uint64_t u = u32_at(p) | (std::uint64_t{u32_at(p + 4)} << 32);
        return finite_or_zero(std::bit_cast<double>(u));
    }
};

template <typename reader>
void convert(const pcm_layout& layout, const std::uint8_t* bytes, std::size_t frames, double* out) {
    const std::size_t step = static_cast<std::size_t>(layout.block_align);
    // read_fmt lets one or two channels through; each layout gets a loop without branches.
    if (layout.channels == 1) {
        for (std::size_t f = 0; f < frames; ++f)
            out[f] = reader::at(bytes + f * step);
        return;
    }
    const auto width = static_cast<std::size_t>(layout.sample_bytes);
    if (2 * width <= step) {
        for (std::size_t f = 0; f < frames; ++f) {
            out[2 * f] = reader::at(bytes + f * step);
            out[2 * f + 1] = reader::at(bytes + f * step + width);
        }
        return;
    }
    // A frame narrower than two samples has no room for the second channel.
    for (std::size_t f = 0; f < frames; ++f) {
        out[2 * f] = reader::at(bytes + f * step);
        out[2 * f + 1] = 0.0;
    }
}

}  // namespace

void convert_frames(const pcm_layout& layout, const std::uint8_t* bytes, std::size_t frames,
                    double* out) {
    switch (layout.encoding) {
        case sample_encoding::u8:
            return convert<read_u8>(layout, bytes, frames, out);
        case sample_encoding::s16:
            return convert<read_s16>(layout, bytes, frames, out);
        case sample_encoding::s24:
            return convert<read_s24>(layout, bytes, frames, out);
        case sample_encoding::s32:
            return convert<read_s32>(layout, bytes, frames, out);
        case sample_encoding::f32:
            return convert<read_f32>(layout, bytes, frames, out);
        case sample_encoding::f64:
            return convert<read_f64>(layout, bytes, frames, out);
    }
}
