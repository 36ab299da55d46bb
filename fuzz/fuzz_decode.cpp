// The whole decode on arbitrary bytes taken as a WAV file, with the command-line settings
// drawn from the input too: the option scan, the WAV reader, the window check and the decode
// into memory. A fskdec_error is a clean rejection; any crash, sanitizer report or timeout is
// a finding. The decoded bytes must also be those of the plain decoder.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "app/options.h"
#include "demod/framing.h"
#include "fuzz_input.h"
#include "wav/wav.h"

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
    std::span<const std::uint8_t> data;
    demod_config config;
    try {
        decoder_settings settings;
        if (parse_options(argc, argv.data(), settings) != argc - 2) std::abort();
        const wav_layout layout = parse_wav(file);
        data = file.subspan(layout.data_offset, layout.format.data_size);
        config = make_demod_config(layout.format, settings);
        const std::uint64_t frames = data.size() / config.frame_bytes;
        if (!plain_decode_affordable(frames, config.frames_per_bit, decode_budget)) return 0;
        decode_bytes(data, config, [&](std::uint8_t b) { fast.push_back(b); });
    } catch (const fskdec_error&) {
        return 0;  // a clean rejection
    }

    std::vector<std::uint8_t> plain;
    decode_bytes_plain(data, config, [&](std::uint8_t b) { plain.push_back(b); });
    if (fast != plain) std::abort();
    return 0;
}
