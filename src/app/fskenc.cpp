// fskenc: writes bytes as a two-tone FSK serial signal in a PCM WAV file that fskdec reads.
//
// settings -> read the input whole -> size the recording -> open the output -> write the
// header and the samples as they are made -> close. Every failure is one line on standard
// output and exit status 1.

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/encoder_options.h"
#include "mod/synth.h"

namespace {

int run(int argc, const char* const* argv) {
    encoder_settings settings;
    const int first = parse_encoder_options(argc, argv, settings);
    if (first != argc - 2) {
        std::fputs(encoder_usage_text(settings).c_str(), stdout);
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    const std::vector<std::uint8_t> input = read_input_bytes(input_path);
    const synth_settings signal = make_encoder_signal(settings);
    synth_data_size(signal, input.size());  // a recording too long fails before the output

    output_file out = open_output(output_path);
    stream_wav(input, signal,
               [&](std::span<const std::uint8_t> piece) { write_output(out, piece); });
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    return report_failures(run, argc, argv);
}
