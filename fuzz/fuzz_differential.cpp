// Differential: arbitrary sample data, sample width, block align, window length, tone bin,
// sample rate, threshold and phase. decode_bytes must emit exactly the bytes that
// decode_bytes_plain (every window through the plain transform) emits; any difference aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "app/options.h"
#include "demod/framing.h"
#include "fuzz_input.h"
#include "wav/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    input_reader in{std::span<const std::uint8_t>(bytes, size)};
    const differential_prefix p = read_differential_prefix(in);

    wav_format format;
    format.channels = 1;
    format.quantization_bit = (p.flags & 2) ? 16 : 8;
    format.block_align = format.quantization_bit / 8 + p.pad % 4;
    const std::int32_t n = 3 + p.window % (differential_max_window - 2);
    const std::int32_t a = 1 + p.bin % ((n - 1) / 2);

    decoder_settings settings;
    settings.baud_rate = 1 + p.baud % 4800;
    settings.lower_carrier = a * settings.baud_rate;
    settings.threshold_ratio = (1 + p.threshold) / 257.0;
    settings.phase_sign = (p.flags & 1) ? -1 : 1;
    format.sample_rate = n * settings.baud_rate + p.rate_extra % settings.baud_rate;

    std::span<const std::uint8_t> data = in.rest();
    const std::size_t frames = data.size() / static_cast<std::size_t>(format.block_align);
    data = data.first(frames * static_cast<std::size_t>(format.block_align));
    format.data_size = static_cast<std::uint32_t>(data.size());
    if (!plain_decode_affordable(frames, n, differential_budget)) return 0;

    const demod_config config = make_demod_config(format, settings);
    if (config.frames_per_bit != n || config.carrier_bin != a) std::abort();

    std::vector<std::uint8_t> fast;
    std::vector<std::uint8_t> plain;
    decode_bytes(data, config, [&](std::uint8_t b) { fast.push_back(b); });
    decode_bytes_plain(data, config, [&](std::uint8_t b) { plain.push_back(b); });
    if (fast != plain) {
        std::fprintf(stderr, "decode_bytes emitted %zu bytes, decode_bytes_plain %zu\n",
                     fast.size(), plain.size());
        std::abort();
    }
    return 0;
}
