// fskdec: recovers the bytes of a two-tone FSK serial signal recorded in a PCM WAV file.
//
// settings -> load the input whole -> check it against the settings -> open the output
// -> decode -> close. Every failure is one line on standard output and exit status 1.

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "app/error.h"
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

    const bool to_stdout = output_path == "-";
    std::FILE* out = to_stdout ? stdout : std::fopen(output_path.c_str(), "wb");
    if (out == nullptr) throw fskdec_error("cannot open " + output_path);

    // A failed write ends the run at once; the process exit closes the file.
    const auto write_error = [&] { return fskdec_error("cannot write " + output_path); };
    decode_bytes(input.data, config, [&](std::uint8_t byte) {
        if (std::fputc(byte, out) == EOF) throw write_error();
    });
    if (std::fflush(out) != 0 || std::ferror(out) != 0) throw write_error();
    // Closing standard output can still report a deferred write error (a network file
    // system); the message then has nowhere to go, but the status tells.
    if (std::fclose(out) != 0) {
        if (to_stdout) return 1;
        throw write_error();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const fskdec_error& e) {
        std::printf("%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::printf("cannot allocate memory\n");
    }
    std::fflush(stdout);
    return 1;
}
