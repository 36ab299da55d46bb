// fskdec: recovers the bytes of a two-tone FSK serial signal recorded in a PCM WAV file.
//
// settings -> load the input whole -> check it against the settings -> open the output
// -> decode -> close. Every failure is one line and exit status 1, on standard output, or on
// standard error when the bytes go to standard output.

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "app/cli.h"
#include "app/messages.h"
#include "app/options.h"
#include "demod/framing.h"
#include "wav/wav.h"

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

    const wav_file input = load_wav(input_path);
    const demod_config config = make_demod_config(input.format, settings);

    struct stat input_info {};
    if (stat(input_path.c_str(), &input_info) == 0) check_not_input(input_info, output_path);
    output_file out = open_output(output_path);
    decode_bytes(input.data, config, [&](std::uint8_t byte) { write_output(out, {&byte, 1}); });
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    return report_failures(run, argc, argv);
}
