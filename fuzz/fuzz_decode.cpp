// The whole decode on arbitrary bytes taken as a WAV file, with the command-line settings
// drawn from the input too: the option scan, the WAV reader, the window check and the decode
// into memory. A fskdec_error is a clean rejection; any crash, sanitizer report or timeout is
// a finding. The decoded bytes must also be those of the plain decoder.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "app/options.h"
#include "audio/input.h"
#include "audio/sample_buffer.h"
#include "base/error.h"
#include "demod/framing.h"
#include "fuzz_input.h"

namespace {

std::vector<std::string> command_line(const decode_prefix& p) {
    std::vector<std::string> args = {"fskdec"};
    const std::int32_t baud =
        (p.flags & 2) ? static_cast<std::int32_t>(p.raw_baud) : decode_baud_table[p.baud_pick % 8];
    args.insert(args.end(), {"-b", std::to_string(baud)});
    if (p.flags & 4) {
        args.insert(args.end(), {"-w", std::to_string(static_cast<std::int32_t>(p.raw_carrier))});
    } else {
        const std::int64_t carrier = std::int64_t{baud} * (1 + p.carrier_pick % 4);
        args.insert(args.end(), {"-w", std::to_string(carrier)});
    }
    if (p.flags & 8) args.insert(args.end(), {"-t", std::to_string(p.threshold_pick / 255.0)});
    if (p.flags & 1) args.emplace_back("-p");
    args.insert(args.end(), {"input.wav", "output.bin"});
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    input_reader in{std::span<const std::uint8_t>(bytes, size)};
    const decode_prefix prefix = read_decode_prefix(in);
    const std::span<const std::uint8_t> file = in.rest();

    const std::vector<std::string> args = command_line(prefix);
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    const int argc = static_cast<int>(argv.size());

    std::vector<std::uint8_t> fast;
    std::vector<double> samples;  // channel 1, read whole for the plain decoder
    audio_format format;
    demod_config config;
    try {
        decoder_settings settings;
        if (parse_options(argc, argv.data(), settings) != argc - 2) std::abort();
        const std::unique_ptr<sample_source> whole = memory_audio(file);
        format = whole->format();
        config = make_demod_config(format, settings.signal, settings.threshold_ratio);
        std::vector<double> piece(4096 * static_cast<std::size_t>(format.channels));
        for (std::size_t got; (got = whole->read(piece)) > 0;) {
            for (std::size_t f = 0; f < got; ++f)
                samples.push_back(piece[f * static_cast<std::size_t>(format.channels)]);
        }
        if (!plain_decode_affordable(samples.size(), config.frames_per_bit, decode_budget)) {
            return 0;
        }
        // The default decoder reads the image again, in pieces, as fskdec does.
        const std::unique_ptr<sample_source> streamed = memory_audio(file);
        sample_window window =
            make_sample_window(*streamed, 0, detector_history(config), config.phase_sign < 0);
        decode_bytes(window, config, [&](const framed_byte& b) { fast.push_back(b.value); });
    } catch (const fskdec_error&) {
        return 0;  // a clean rejection
    }

    std::vector<std::uint8_t> plain;
    sample_buffer buffer({1, format.sample_rate, format.full_scale}, samples);
    sample_window window =
        make_sample_window(buffer, 0, detector_history(config), config.phase_sign < 0);
    decode_bytes_plain(window, config, [&](const framed_byte& b) { plain.push_back(b.value); });
    if (fast != plain) std::abort();
    return 0;
}
