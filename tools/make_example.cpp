// Writes the shipped example recording: examples/hello.txt as FSK at 44100 Hz, 16-bit mono,
// with the default tones and baud rate. Usage: make_example text-file wav-file
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "mod/synth.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: make_example text-file wav-file\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::uint8_t> text((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    fsk_signal signal;  // 44100 Hz, 16-bit mono, 1200 baud on 1200/2400 Hz
    signal.leader_bits = 600;
    signal.gap_bits = 2;
    signal.trailer_bits = 60;
    std::vector<std::uint8_t> wav = synthesize_wav(text, signal);
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
    if (!in || !out) {
        std::printf("cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
