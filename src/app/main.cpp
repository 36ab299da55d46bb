// fskdec: recovers the bytes of a two-tone FSK serial signal from a recording.
//
// settings -> open the input and read its header -> check it against the settings -> read
// the first window and plan the detector -> open the output -> decode while reading -> close.
// Every failure is one line on standard output and exit status 1.

#include <cstdio>
#include <string>

#include "app/cli.h"
#include "app/options.h"
#include "audio/sample_buffer.h"
#include "base/error.h"
#include "demod/framing.h"
#include "wav/wav.h"

namespace {

// (Until the streaming input lands: the whole file through the old loader.)
std::unique_ptr<sample_source> open_input(const std::string& path) {
    const wav_file file = load_wav(path);
    audio_format format;
    format.channels = file.format.channels;
    format.sample_rate = file.format.sample_rate;
    format.full_scale = file.format.quantization_bit == 8 ? 128.0 : 32768.0;
    const std::size_t step = static_cast<std::size_t>(file.format.block_align);
    const std::size_t width = static_cast<std::size_t>(file.format.quantization_bit / 8);
    std::vector<double> samples;
    for (std::size_t at = 0; at + step <= file.data.size(); at += step) {
        for (std::int32_t c = 0; c < format.channels; ++c) {
            const std::size_t off = static_cast<std::size_t>(c) * width;
            samples.push_back(off + width <= step ? sample_at(file.data.data() + at + off,
                                                              file.format.quantization_bit)
                                                  : 0.0);
        }
    }
    return std::make_unique<sample_buffer>(format, std::move(samples));
}

int run(int argc, const char* const* argv) {
    decoder_settings settings;
    const int first = parse_options(argc, argv, settings);
    if (first != argc - 2) {
        print_usage(settings);
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    std::unique_ptr<sample_source> input = open_input(input_path);
    const audio_format& format = input->format();
    const demod_config config =
        make_demod_config(format, settings.signal, settings.threshold_ratio);
    if (settings.channel > format.channels) throw fskdec_error("illegal channel");
    sample_window window = make_sample_window(*input, settings.channel - 1,
                                              detector_history(config), config.phase_sign < 0);
    exact_decoder decoder = prepare_exact_decoder(window, config);

    output_file out = open_output(output_path);
    decode_bytes(window, decoder, [&](const framed_byte& byte) {
        write_output(out, {&byte.value, 1});
    });
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    return report_failures(run, argc, argv);
}
