// Differential: arbitrary sample data, sample width, block align, window length, tone bin,
// sample rate, threshold and phase. decode_bytes must emit exactly the bytes that
// decode_bytes_plain (every window through the plain transform) emits, and the stream framing
// (the samples pushed in pieces, as libfskdec does) exactly those too; any difference aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "audio/sample_buffer.h"
#include "demod/framing.h"
#include "demod/stream_framing.h"
#include "fuzz_input.h"

namespace {

// The first channel's sample of each whole frame, 8-bit unsigned or 16-bit signed LE.
std::vector<double> first_channel(std::span<const std::uint8_t> data, std::size_t block_align,
                                  bool sixteen) {
    std::vector<double> samples;
    for (std::size_t at = 0; at + block_align <= data.size(); at += block_align) {
        samples.push_back(sixteen ? static_cast<std::int16_t>(data[at] | (data[at + 1] << 8))
                                  : data[at] - 128);
    }
    return samples;
}

std::vector<std::uint8_t> decode(const std::vector<double>& samples, std::int32_t sample_rate,
                                 double full_scale, std::size_t read_limit,
                                 const demod_config& config, bool plain) {
    sample_buffer source({1, sample_rate, full_scale}, samples, read_limit);
    sample_window window =
        make_sample_window(source, 0, detector_history(config), config.phase_sign < 0);
    return decode_window(window, config, plain);
}

// The samples pushed into a stream framing in pieces of `piece` frames.
std::vector<std::uint8_t> decode_pushed(const std::vector<double>& samples,
                                        const demod_config& config, std::size_t piece) {
    std::vector<std::uint8_t> out;
    const byte_sink sink = [&](const framed_byte& b) { out.push_back(b.value); };
    stream_framing framing = make_stream_framing(config);
    const std::span<const double> all(samples);
    for (std::size_t i = 0; i < all.size(); i += piece)
        stream_samples(framing, all.subspan(i, std::min(piece, all.size() - i)), sink);
    stream_finish(framing, sink);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    input_reader in{std::span<const std::uint8_t>(bytes, size)};
    const differential_prefix p = read_differential_prefix(in);

    const bool sixteen = (p.flags & 2) != 0;
    const std::size_t block_align = (sixteen ? 2 : 1) + p.pad % 4;
    const std::int32_t n = 3 + p.window % (differential_max_window - 2);
    const std::int32_t a = 1 + p.bin % ((n - 1) / 2);

    fsk_signal signal;
    signal.baud_rate = 1 + p.baud % 4800;
    signal.lower_tone = a * signal.baud_rate;
    signal.phase_sign = (p.flags & 1) ? -1 : 1;
    const double threshold = (1 + p.threshold) / 257.0;
    const std::int32_t sample_rate = n * signal.baud_rate + p.rate_extra % signal.baud_rate;
    const double full_scale = sixteen ? 32768.0 : 128.0;

    const std::vector<double> samples = first_channel(in.rest(), block_align, sixteen);
    if (!plain_decode_affordable(samples.size(), n, differential_budget)) return 0;

    const demod_config config = make_demod_config({1, sample_rate, full_scale}, signal, threshold);
    if (config.frames_per_bit != n || config.carrier_bin != a) std::abort();

    // The fast path reads the samples in pieces of a size the input chooses, so that piece
    // boundaries fall anywhere in a window.
    const std::size_t read_limit = 1 + p.pad * 37u % 4099u;
    const std::vector<std::uint8_t> fast =
        decode(samples, sample_rate, full_scale, read_limit, config, false);
    const std::vector<std::uint8_t> plain =
        decode(samples, sample_rate, full_scale, 0, config, true);
    if (fast != plain) {
        std::fprintf(stderr, "decode_bytes emitted %zu bytes, decode_bytes_plain %zu\n",
                     fast.size(), plain.size());
        std::abort();
    }
    // Pieces of any size, beyond a source's read too.
    const std::size_t piece = 1 + (p.rate_extra * 31u + p.pad) % 5000u;
    const std::vector<std::uint8_t> pushed = decode_pushed(samples, config, piece);
    if (pushed != fast) {
        std::fprintf(stderr, "pushed in pieces of %zu: %zu bytes, decode_bytes %zu\n", piece,
                     pushed.size(), fast.size());
        std::abort();
    }
    return 0;
}
