// fskdec: recovers the bytes of a two-tone FSK serial signal from a recording.
//
// settings -> open the input and read its header -> check it against the settings -> read
// the first window and plan the detector -> open the output -> decode while reading -> close.
// Every failure is one line and exit status 1, on standard output, or on standard error when
// the bytes go to standard output.

#include <cstdio>
#include <string>

#include "app/cli.h"
#include "app/messages.h"
#include "app/options.h"
#include "audio/input.h"
#include "base/error.h"
#include "demod/framing.h"

namespace {

int run(int argc, const char* const* argv) {
    decoder_settings settings;
    info_request asked = info_request::none;
    const int first = parse_options(argc, argv, settings, &asked);
    if (asked != info_request::none) return answer_request(asked, usage_text(settings), "fskdec");
    if (first != argc - 2) {
        print_usage(settings, message_stream(argc, argv));
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    // Before the input blocks (a pipe that pauses), every byte decoded so far goes out.
    output_file out;
    const std::unique_ptr<sample_source> input = open_audio(input_path, [&] {
        if (out.stream != nullptr) std::fflush(out.stream);
    });
    const audio_format& format = input->format();
    const demod_config config =
        make_demod_config(format, settings.signal, settings.threshold_ratio);
    if (settings.channel > format.channels) throw fskdec_error("illegal channel");
    sample_window window = make_sample_window(*input, settings.channel - 1,
                                              detector_history(config), config.phase_sign < 0);
    exact_decoder decoder = prepare_exact_decoder(window, config);

    check_not_input(input->identity(), output_path);
    out = open_output(output_path);
    decode_bytes(window, decoder, [&](const framed_byte& byte) {
        write_output(out, {&byte.value, 1});
    });
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    return report_failures(run, argc, argv);
}
