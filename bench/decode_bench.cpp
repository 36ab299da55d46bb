// Decoding speed: the plain detector (a full mixed_radix_dft per window position) against the
// fast one (bins a and 2a only, nodes shared between positions), on a synthesized recording
// of random bytes with idle gaps, with the time to load the file as a floor and the whole
// fskdec process for scale.
//
//   fskdec_bench [minutes [repeats [keep.wav]]]     defaults: 10 minutes, 7 repeats
//
// The plain path runs once (it takes about 3 s per minute of audio), the others `repeats`
// times (the median is shown). With a third argument the recording is also kept there, for
// measuring fskdec from outside (/usr/bin/time -v, perf).

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/options.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "wav/wav.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// CPU time of this process: on a shared machine it varies less than the wall clock.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall and CPU seconds of one run.
struct timing {
    double wall = 0.0;
    double cpu = 0.0;
};

template <class F>
timing time_it(F&& f) {
    const auto start = clock_type::now();
    const double cpu_start = cpu_seconds();
    f();
    return {seconds_since(start), cpu_seconds() - cpu_start};
}

// Random bytes at 1200 baud on 1200/2400 Hz, 44.1 kHz 16-bit mono, each byte followed by an
// idle gap of 0 to 40 bit times, until `seconds` of audio are written. Returns the file image
// and the bytes sent.
std::vector<std::uint8_t> make_recording(double seconds, std::vector<std::uint8_t>& sent) {
    synth_settings signal;
    signal.amplitude = 0.6;
    signal.noise = 0.02;
    signal.seed = 2024;
    const auto frames = static_cast<std::uint64_t>(seconds * signal.sample_rate);
    std::vector<std::uint8_t> data;
    data.reserve(static_cast<std::size_t>(frames) * 2 + 4096);
    fsk_synth synth = start_synth(signal);
    std::mt19937_64 rng(7);
    synth_bits(synth, 1, 30, data);
    while (synth.frame < frames) {
        const auto byte = static_cast<std::uint8_t>(rng());
        sent.push_back(byte);
        synth_byte(synth, byte, data);
        synth_bits(synth, 1, 1 + rng() % 40, data);
    }
    std::vector<std::uint8_t> file =
        make_wav_header(1, signal.sample_rate, 16, static_cast<std::uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

std::vector<std::uint8_t> decode_with(
    const std::function<void(std::span<const std::uint8_t>, const demod_config&, const byte_sink&)>&
        decode,
    const wav_file& input, const demod_config& config) {
    std::vector<std::uint8_t> out;
    decode(input.data, config, [&](std::uint8_t b) { out.push_back(b); });
    return out;
}

// Runs `fskdec path /dev/null` and returns its wall and CPU (user + system) time. (Its peak
// RSS cannot be read from here: a child spawned from this large process inherits its
// high-water mark. Measure it with /usr/bin/time -v on a kept recording.)
timing run_process(const std::string& path) {
    const char* argv[] = {FSKDEC_EXE, path.c_str(), "/dev/null", nullptr};
    const auto start = clock_type::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, FSKDEC_EXE, nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        std::printf("cannot run %s\n", FSKDEC_EXE);
        std::exit(1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double elapsed = seconds_since(start);
    const auto seconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("fskdec failed\n");
        std::exit(1);
    }
    return {elapsed, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

// The run of median wall time.
timing median(std::vector<timing> v) {
    std::sort(v.begin(), v.end(), [](timing a, timing b) { return a.wall < b.wall; });
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    if (!(minutes > 0.0)) {
        std::printf("usage: fskdec_bench [minutes [repeats [keep.wav]]]\n");
        return 1;
    }
    const double audio_seconds = minutes * 60.0;

    std::vector<std::uint8_t> sent;
    const std::vector<std::uint8_t> file = make_recording(audio_seconds, sent);
    const bool keep = argc > 3;
    const std::filesystem::path path =
        keep ? std::filesystem::path(argv[3])
             : std::filesystem::temp_directory_path() /
                   ("fskdec_bench_" + std::to_string(getpid()) + ".wav");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
        if (!out) {
            std::printf("cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::printf(
        "recording: %.1f min of 44.1 kHz 16-bit mono, %zu random bytes with idle gaps, "
        "%.1f MiB of sample data\n",
        minutes, sent.size(), static_cast<double>(file.size() - 44) / (1 << 20));

    std::vector<timing> load_times, fast_times, process_times;
    wav_file input;
    for (int r = 0; r < repeats; ++r) {
        load_times.push_back(time_it([&] { input = load_wav(path.string()); }));
    }
    const demod_config config = make_demod_config(input.format, decoder_settings{});

    std::vector<std::uint8_t> fast_bytes;
    for (int r = 0; r < repeats; ++r) {
        fast_times.push_back(
            time_it([&] { fast_bytes = decode_with(decode_bytes, input, config); }));
    }
    for (int r = 0; r < repeats; ++r)
        process_times.push_back(run_process(path.string()));
    std::vector<std::uint8_t> plain_bytes;
    const timing plain =
        time_it([&] { plain_bytes = decode_with(decode_bytes_plain, input, config); });
    if (!keep) std::filesystem::remove(path);

    const timing load = median(load_times);
    const timing fast = median(fast_times);
    const timing process = median(process_times);
    std::printf("\n%-32s %10s %10s %13s %13s\n", "", "wall s", "CPU s", "x real time", "(by CPU)");
    auto row = [&](const char* name, timing t) {
        std::printf("%-32s %10.4f %10.4f %13.0f %13.0f\n", name, t.wall, t.cpu,
                    audio_seconds / t.wall, audio_seconds / t.cpu);
    };
    row("load the file (floor)", load);
    row("decode, plain path (1 run)", plain);
    row("decode, fast path (median)", fast);
    row("fskdec process, whole (median)", process);
    std::printf("\nspeed-up of the fast path over the plain path: %.0fx (by CPU time %.0fx)\n",
                plain.wall / fast.wall, plain.cpu / fast.cpu);
    std::printf("fast path runs, wall s:");
    for (const timing t : fast_times)
        std::printf(" %.4f", t.wall);
    std::printf("\n");
    const bool same = fast_bytes == plain_bytes;
    const bool exact = plain_bytes == sent;
    std::printf("output: %zu bytes; fast == plain: %s; equal to the bytes sent: %s\n",
                plain_bytes.size(), same ? "yes" : "NO", exact ? "yes" : "no");
    return same ? 0 : 1;
}
