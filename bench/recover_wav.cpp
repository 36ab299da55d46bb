// Reads a PCM WAV file (8- or 16-bit, first channel) and runs the recovery demodulator over it,
// for checking recordings made by other tools by hand:
//
//   fskdec_recover_wav [-b baud] [-w lower-tone] file.wav > bytes
//
// The carrier segments found go to standard error.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "recover/recover.h"
#include "wav/wav.h"

int main(int argc, char** argv) {
    fsk_signal signal;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-b") == 0 && i + 1 < argc) {
            signal.baud_rate = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-w") == 0 && i + 1 < argc) {
            signal.lower_tone = std::atoi(argv[++i]);
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "usage: fskdec_recover_wav [-b baud] [-w lower-tone] file.wav\n");
        return 2;
    }
    try {
        const wav_file wav = load_wav(path);
        std::vector<double> x;
        const std::uint8_t* cursor = wav.data.data();
        const std::size_t frames = wav.data.size() / wav.format.block_align;
        x.reserve(frames);
        for (std::size_t n = 0; n < frames; ++n)
            x.push_back(read_sample(cursor, wav.format));
        const double full_scale = wav.format.quantization_bit == 8 ? 128.0 : 32768.0;
        recover_sink sink;
        sink.byte = [](const recovered_byte& b) { std::putchar(b.value); };
        sink.segment = [&](const carrier_segment& s) {
            std::fprintf(stderr,
                         "carrier %.3f..%.3f s: %llu bytes, %llu framing errors, level %.4f, "
                         "SNR %.1f dB, speed %+.2f %%\n",
                         static_cast<double>(s.start_frame) / wav.format.sample_rate,
                         static_cast<double>(s.end_frame) / wav.format.sample_rate,
                         static_cast<unsigned long long>(s.bytes),
                         static_cast<unsigned long long>(s.framing_errors), s.level / full_scale,
                         s.snr_db, 100.0 * s.speed);
        };
        recover_decoder d = make_recover_decoder(signal, wav.format.sample_rate, full_scale);
        recover_samples(d, x, sink);
        recover_finish(d, sink);
    } catch (const fskdec_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
