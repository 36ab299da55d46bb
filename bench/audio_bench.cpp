// Input speed: the time to read every sample of a 10-minute 44.1 kHz recording through
// open_audio, from a regular file and from a pipe, for each sample format the decoder meets
// most (16-bit mono, 16-bit stereo, 24-bit mono, 32-bit float mono) and for 16-bit FLAC.
//
//   fskaudio_bench [minutes [repeats]]     defaults: 10 minutes, 5 repeats (the median is shown)

#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/input.h"
#include "audio/wav_writer.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A 1200/2400 Hz tone pair at -6 dB, alternating every 1/1200 s, as values in [-1, 1].
std::vector<double> test_signal(std::size_t frames, int channels) {
    std::vector<double> v(frames * static_cast<std::size_t>(channels));
    for (std::size_t f = 0; f < frames; ++f) {
        const double hz = (f / 36) % 2 == 0 ? 1200.0 : 2400.0;
        const double x = 0.5 * std::sin(2.0 * M_PI * hz * static_cast<double>(f) / 44100.0);
        for (int c = 0; c < channels; ++c)
            v[f * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                c == 0 ? x : -x;
    }
    return v;
}

void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// A WAV file of the signal at `bits` (integer) or as 32-bit floats (`bits` = -32).
void write_wav(const std::string& path, const std::vector<double>& v, int channels, int bits) {
    std::vector<std::uint8_t> data;
    if (bits == 16) {
        append_pcm(v, 16, data);
    } else {
        for (double x : v) {
            if (bits == 24) put_le(data, static_cast<std::uint32_t>(std::lround(x * 8388607.0)), 3);
            if (bits == -32) put_le(data, std::bit_cast<std::uint32_t>(static_cast<float>(x)), 4);
        }
    }
    const int width = std::abs(bits) / 8;
    std::vector<std::uint8_t> image =
        make_wav_header(channels, 44100, 16, static_cast<std::uint32_t>(data.size()));
    image[20] = bits < 0 ? 3 : 1;
    image[32] = static_cast<std::uint8_t>(channels * width);
    image[34] = static_cast<std::uint8_t>(std::abs(bits));
    image.insert(image.end(), data.begin(), data.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
}

void write_flac(const std::string& path, const std::vector<double>& v) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) std::exit(1);
    sf_writef_double(f, v.data(), static_cast<sf_count_t>(v.size()));
    sf_close(f);
}

// Reads every sample of `path` (a FIFO fed by `cat` when `piped`); returns the seconds taken.
double read_all(const std::string& path, bool piped, double& checksum) {
    const std::string fifo = path + ".fifo";
    pid_t feeder = -1;
    if (piped) {
        mkfifo(fifo.c_str(), 0600);
        feeder = fork();
        if (feeder == 0) {
            execlp("sh", "sh", "-c", "cat \"$0\" > \"$1\"", path.c_str(), fifo.c_str(), nullptr);
            _exit(127);
        }
    }
    const auto start = clock_type::now();
    auto source = open_audio(piped ? fifo : path);
    std::vector<double> buffer(8192);
    const auto channels = static_cast<std::size_t>(source->format().channels);
    double sum = 0.0;
    while (std::size_t n = source->read(buffer)) {
        for (std::size_t k = 0; k < n * channels; ++k)
            sum += buffer[k];
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (piped) {
        waitpid(feeder, nullptr, 0);
        std::filesystem::remove(fifo);
    }
    checksum = sum;
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto frames = static_cast<std::size_t>(minutes * 60.0 * 44100.0);

    char tmpl[] = "/tmp/fskaudio_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    const std::vector<double> mono = test_signal(frames, 1);
    const std::vector<double> stereo = test_signal(frames, 2);
    const struct {
        const char* name;
        std::string path;
    } inputs[] = {{"16-bit mono", dir + "/m16.wav"},
                  {"16-bit stereo", dir + "/s16.wav"},
                  {"24-bit mono", dir + "/m24.wav"},
                  {"float mono", dir + "/f32.wav"},
                  {"FLAC 16-bit mono", dir + "/m16.flac"}};
    write_wav(inputs[0].path, mono, 1, 16);
    write_wav(inputs[1].path, stereo, 2, 16);
    write_wav(inputs[2].path, mono, 1, 24);
    write_wav(inputs[3].path, mono, 1, -32);
    write_flac(inputs[4].path, mono);

    std::printf("%.1f minutes at 44.1 kHz, median of %d reads\n", minutes, repeats);
    for (const auto& in : inputs) {
        for (bool piped : {false, true}) {
            std::vector<double> t;
            double checksum = 0.0;
            for (int r = 0; r < repeats; ++r)
                t.push_back(read_all(in.path, piped, checksum));
            std::sort(t.begin(), t.end());
            std::printf("  %-18s %-5s %7.3f s  (%10.1f)\n", in.name, piped ? "pipe" : "file",
                        t[t.size() / 2], checksum);
        }
    }
    std::filesystem::remove_all(dir);
}
