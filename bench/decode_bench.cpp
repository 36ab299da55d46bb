// Decoding speed and memory: the plain detector (a full mixed_radix_dft per window position)
// against the fast one (bins a and 2a only, nodes shared between positions) on a synthesized
// recording of random bytes with idle gaps, the whole fskdec process from a file and through
// a pipe (from a file also with -q, to show what the report costs), and the peak memory of
// the process on a long recording.
//
//   fskdec_bench [minutes [repeats [memory-minutes]]]     defaults: 10, 7, 60
//
// The plain path runs once (it takes about 3 s per minute of audio), the others `repeats`
// times (the median is shown). The processes run first, while this program is still small:
// a child's peak memory as the kernel reports it includes what its parent had mapped when
// the child was started.

#include <fcntl.h>
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
#include <random>
#include <string>
#include <vector>

#include "audio/input.h"
#include "audio/wav_writer.h"
#include "base/error.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "timing.h"

namespace {

// Wall and CPU seconds of one run, and the peak resident memory of a process.
struct timing {
    double wall = 0.0;
    double cpu = 0.0;
    double peak_mib = 0.0;
};

template <class F>
timing time_it(F&& f) {
    const auto start = clock_type::now();
    const double cpu_start = cpu_seconds();
    f();
    return {seconds_since(start), cpu_seconds() - cpu_start, 0.0};
}

// Writes random bytes at 1200 baud on 1200/2400 Hz, 44.1 kHz 16-bit mono, each byte followed
// by an idle gap of 1 to 40 bit times, until `seconds` of audio, to `path` in pieces (memory
// stays small whatever the length). Returns the bytes sent.
std::vector<std::uint8_t> write_recording(const std::string& path, double seconds) {
    synth_settings signal;
    signal.amplitude = 0.6;
    signal.noise = 0.02;
    signal.seed = 2024;
    const auto frames = static_cast<std::uint64_t>(seconds * signal.sample_rate);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw fskdec_error("cannot open " + path);
    // The header's sizes are written again once the data is complete.
    std::vector<std::uint8_t> header = make_wav_header(1, signal.sample_rate, 16, 0);
    std::fwrite(header.data(), 1, header.size(), file);
    std::vector<std::uint8_t> sent;
    std::vector<double> values;
    std::vector<std::uint8_t> data;
    std::uint64_t data_size = 0;
    fsk_synth synth = start_synth(signal);
    std::mt19937_64 rng(7);
    synth_bits(synth, 1, 30, values);
    while (synth.frame < frames || !values.empty()) {
        if (synth.frame < frames) {
            const auto byte = static_cast<std::uint8_t>(rng());
            sent.push_back(byte);
            synth_byte(synth, byte, values);
            synth_bits(synth, 1, 1 + rng() % 40, values);
        }
        if (values.size() >= (1 << 15) || synth.frame >= frames) {
            data.clear();
            append_pcm(values, 16, data);
            std::fwrite(data.data(), 1, data.size(), file);
            data_size += data.size();
            values.clear();
        }
    }
    header = make_wav_header(1, signal.sample_rate, 16, static_cast<std::uint32_t>(data_size));
    std::fseek(file, 0, SEEK_SET);
    std::fwrite(header.data(), 1, header.size(), file);
    if (std::fclose(file) != 0) throw fskdec_error("cannot write " + path);
    return sent;
}

// Runs `fskdec input /dev/null` (input "/dev/stdin" with `stdin_path` behind a pipe when
// given; `-q` first when `quiet`, which leaves out the report and its survey) and returns
// its wall and CPU (user + system) time and peak memory.
timing run_process(const std::string& input, const std::string& stdin_path = "",
                   bool quiet = false) {
    std::vector<const char*> argv = {FSKDEC_EXE};
    if (quiet) argv.push_back("-q");
    argv.insert(argv.end(), {input.c_str(), "/dev/null", nullptr});
    int pipe_fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdin_path.empty()) {
        if (pipe(pipe_fds) != 0) throw fskdec_error("cannot make a pipe");
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    }
    const auto start = clock_type::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, FSKDEC_EXE, &actions, nullptr, const_cast<char* const*>(argv.data()),
                    environ) != 0) {
        throw fskdec_error(std::string("cannot run ") + FSKDEC_EXE);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (!stdin_path.empty()) {
        close(pipe_fds[0]);
        const int in = open(stdin_path.c_str(), O_RDONLY);
        std::vector<char> piece(1 << 16);
        for (ssize_t got; in >= 0 && (got = read(in, piece.data(), piece.size())) > 0;) {
            if (write(pipe_fds[1], piece.data(), static_cast<std::size_t>(got)) != got) break;
        }
        if (in >= 0) close(in);
        close(pipe_fds[1]);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double elapsed = seconds_since(start);
    const auto seconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw fskdec_error("fskdec failed");
    return {elapsed, seconds(usage.ru_utime) + seconds(usage.ru_stime),
            static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// The run of median wall time.
timing median(std::vector<timing> v) {
    std::sort(v.begin(), v.end(), [](timing a, timing b) { return a.wall < b.wall; });
    return v[v.size() / 2];
}

// The median CPU time.
double median_cpu(std::vector<timing> v) {
    std::sort(v.begin(), v.end(), [](timing a, timing b) { return a.cpu < b.cpu; });
    return v[v.size() / 2].cpu;
}

// Decodes the recording at `path` in this process with the fast or the plain detector.
std::vector<std::uint8_t> decode_file(const std::string& path, bool plain) {
    const std::unique_ptr<sample_source> source = open_audio(path);
    const demod_config config = make_demod_config(source->format(), fsk_signal{}, 0.15);
    sample_window window = make_sample_window(*source, 0, detector_history(config), false);
    return decode_window(window, config, plain);
}

int bench(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const double memory_minutes = argc > 3 ? std::atof(argv[3]) : 60.0;
    if (!(minutes > 0.0) || !(memory_minutes > 0.0)) {
        std::printf("usage: fskdec_bench [minutes [repeats [memory-minutes]]]\n");
        return 1;
    }
    const double audio_seconds = minutes * 60.0;
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(getpid());
    const std::string path = (dir / ("fskdec_bench_" + tag + ".wav")).string();
    const std::string long_path = (dir / ("fskdec_bench_long_" + tag + ".wav")).string();
    const std::vector<std::uint8_t> sent = write_recording(path, audio_seconds);
    write_recording(long_path, memory_minutes * 60.0);
    std::printf(
        "recording: %.1f min of 44.1 kHz 16-bit mono, %zu random bytes with idle gaps, "
        "%.1f MiB of sample data\n",
        minutes, sent.size(), audio_seconds * 44100.0 * 2.0 / (1 << 20));

    std::vector<timing> process_times, quiet_times, pipe_times;
    // Alternated, so that a change in the machine's load falls on both alike.
    for (int r = 0; r < repeats; ++r) {
        process_times.push_back(run_process(path));
        quiet_times.push_back(run_process(path, "", true));
    }
    for (int r = 0; r < repeats; ++r)
        pipe_times.push_back(run_process("/dev/stdin", path));
    const timing long_file = run_process(long_path);
    const timing long_pipe = run_process("/dev/stdin", long_path);
    std::filesystem::remove(long_path);

    std::vector<timing> fast_times;
    std::vector<std::uint8_t> fast_bytes;
    for (int r = 0; r < repeats; ++r)
        fast_times.push_back(time_it([&] { fast_bytes = decode_file(path, false); }));
    std::vector<std::uint8_t> plain_bytes;
    const timing plain = time_it([&] { plain_bytes = decode_file(path, true); });
    std::filesystem::remove(path);

    const timing fast = median(fast_times);
    std::printf("\n%-36s %10s %10s %13s %13s %9s\n", "", "wall s", "CPU s", "x real time",
                "(by CPU)", "peak MiB");
    auto row = [&](const char* name, timing t, double seconds) {
        std::printf("%-36s %10.4f %10.4f %13.0f %13.0f", name, t.wall, t.cpu, seconds / t.wall,
                    seconds / t.cpu);
        if (t.peak_mib > 0.0) std::printf(" %9.1f", t.peak_mib);
        std::printf("\n");
    };
    row("decode, plain path (1 run)", plain, audio_seconds);
    row("decode, fast path (median)", fast, audio_seconds);
    row("fskdec process, file (median)", median(process_times), audio_seconds);
    row("fskdec -q process, file (median)", median(quiet_times), audio_seconds);
    row("fskdec process, pipe (median)", median(pipe_times), audio_seconds);
    std::printf("\n%.0f minutes, peak memory of the whole process:\n", memory_minutes);
    row("fskdec process, file", long_file, memory_minutes * 60.0);
    row("fskdec process, pipe", long_pipe, memory_minutes * 60.0);
    std::printf(
        "\nthe report (hint, warning and survey) costs %.1f %% of a run by CPU time "
        "(with against -q, file)\n",
        100.0 * (median_cpu(process_times) / median_cpu(quiet_times) - 1.0));
    std::printf("speed-up of the fast path over the plain path: %.0fx (by CPU time %.0fx)\n",
                plain.wall / fast.wall, plain.cpu / fast.cpu);
    const bool same = fast_bytes == plain_bytes;
    const bool exact = plain_bytes == sent;
    std::printf("output: %zu bytes; fast == plain: %s; equal to the bytes sent: %s\n",
                plain_bytes.size(), same ? "yes" : "NO", exact ? "yes" : "no");
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return bench(argc, argv);
    } catch (const fskdec_error& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
