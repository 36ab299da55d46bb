// fskenc: writes bytes as a two-tone FSK serial signal in a PCM WAV file that fskdec reads.
//
// settings (skipped options said) -> read the input whole, at most one byte more than a
// recording can carry -> size the recording -> open the output -> write the header and the
// samples as they are made -> close. Every failure is one line and exit status 1, on standard
// output, or on standard error when the recording goes to standard output or standard output
// cannot take it.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/encoder_options.h"
#include "app/messages.h"
#include "base/error.h"
#include "mod/synth.h"

namespace {

int run(int argc, const char* const* argv) {
    encoder_settings settings;
    info_request asked = info_request::none;
    int first = 0;
    try {
        first = parse_encoder_options(argc, argv, settings, &asked);
    } catch (const fskdec_error&) {
        say_unknown_options("fskenc", settings.unknown_options);
        throw;
    }
    say_unknown_options("fskenc", settings.unknown_options);
    if (asked != info_request::none) {
        return answer_request(asked, encoder_usage_text(settings), "fskenc");
    }
    if (first != argc - 2) {
        put_text(message_stream(argc, argv), encoder_usage_text(settings));
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    // Reading stops once the input is longer than a recording can be (/dev/zero ends).
    const synth_settings signal = make_encoder_signal(settings);
    const std::vector<std::uint8_t> input = read_input_bytes(input_path, synth_max_bytes(signal));
    synth_data_size(signal, input.size());  // a recording too long fails before the output

    struct stat input_info {};
    const int got = input_path == "-" ? fstat(STDIN_FILENO, &input_info)
                                      : stat(input_path.c_str(), &input_info);
    if (got == 0) {
        check_not_input({true, static_cast<std::uint64_t>(input_info.st_dev),
                         static_cast<std::uint64_t>(input_info.st_ino)},
                        output_path);
    }
    output_file out = open_output(output_path);
    stream_wav(input, signal,
               [&](std::span<const std::uint8_t> piece) { write_output(out, piece); });
    return close_output(out);
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    return report_failures(run, argc, argv);
}
