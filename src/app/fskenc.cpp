// fskenc: writes bytes as a two-tone FSK serial signal in a PCM WAV file that fskdec reads.
//
// settings -> read the input whole -> size the recording -> open the output -> write the
// header and the samples as they are made -> close. Every failure is one line on standard
// output and exit status 1.

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/encoder_options.h"
#include "app/error.h"
#include "mod/synth.h"

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Everything the stream holds.
std::vector<std::uint8_t> read_all(std::FILE* f, const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) bytes.resize(std::max<std::size_t>(1 << 16, bytes.size() * 2));
        const std::size_t got = std::fread(bytes.data() + used, 1, bytes.size() - used, f);
        used += got;
        if (got == 0) break;
    }
    if (std::ferror(f)) throw fskdec_error("cannot read " + path);
    bytes.resize(used);
    return bytes;
}

// The input's bytes: the named file, or standard input for "-".
std::vector<std::uint8_t> read_input(const std::string& path) {
    if (path == "-") return read_all(stdin, path);
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (!file || (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))) {
        throw fskdec_error("cannot open " + path);
    }
    return read_all(file.get(), path);
}

int run(int argc, const char* const* argv) {
    encoder_settings settings;
    const int first = parse_encoder_options(argc, argv, settings);
    if (first != argc - 2) {
        std::fputs(encoder_usage_text(settings).c_str(), stdout);
        return 1;
    }
    const std::string input_path = argv[argc - 2];
    const std::string output_path = argv[argc - 1];

    const std::vector<std::uint8_t> input = read_input(input_path);
    const fsk_signal signal = make_encoder_signal(settings);
    synth_data_size(signal, input.size());  // a recording too long fails before the output

    const bool to_stdout = output_path == "-";
    std::FILE* out = to_stdout ? stdout : std::fopen(output_path.c_str(), "wb");
    if (out == nullptr) throw fskdec_error("cannot open " + output_path);

    // A failed write ends the run at once; the process exit closes the file.
    const auto write_error = [&] { return fskdec_error("cannot write " + output_path); };
    stream_wav(input, signal, [&](std::span<const std::uint8_t> piece) {
        if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) throw write_error();
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
