// fskdec: recovers the bytes of a two-tone FSK serial signal recorded in a PCM WAV file.
//
// settings -> load the input whole -> check it against the settings -> open the output
// -> decode -> close. Every failure is one line on standard output and exit status 1.

#include <cstdio>
#include <string>

#include "app/cli.h"
#include "app/options.h"
#include "demod/framing.h"
#include "wav/wav.h"

namespace {

int run(int argc, const char* const* argv) {
    decoder_settings settings;
    const int first = parse_options(argc, argv, settings);
    if (first != argc - 2) {
        print_usage(settings);
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    const wav_file input = load_wav(input_path);
    const demod_config config = make_demod_config(input.format, settings);

    output_file out = open_output(output_path);
    decode_bytes(input.data, config, [&](std::uint8_t byte) { write_output(out, {&byte, 1}); });
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    return report_failures(run, argc, argv);
}
