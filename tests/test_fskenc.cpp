// Runs the built fskenc as a user would: arguments (and standard input) in, exact standard
// output and exit status out, standard error empty unless the output is standard output; and the
// recording it writes, checked field by field and sample by sample. Each case runs in a fresh
// directory.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cctype>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/error.h"
#include "mod/synth.h"
#include "run_program.h"

namespace {

using bytes_t = std::vector<std::uint8_t>;

// Runs fskenc with `args` in `dir`; standard input from `in_path`, standard output to
// `out_path`.
run_result run_fskenc(const std::string& dir, const std::vector<std::string>& args,
                      const std::string& out_path = ".stdout",
                      const std::string& in_path = "/dev/null") {
    return run_program(FSKENC_EXE, dir, args, out_path, in_path);
}

// A fresh directory holding "in.bin" (three bytes) for each test, its name unique (two test
// runs at once, of two builds, must not share it), removed afterwards.
class Fskenc : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        write_file(dir + "/in.bin", "abc");
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir + "/" + name); }
    temp_dir tmp{"fskenc"};
    const std::string& dir = tmp.path;
};

std::string usage(const std::string& last) {
    return "usage: fskenc [options] input-file output-file\n"
           "options:\n"
           " -8 (for 8-bit samples)\n"
           " -a amplitude\n"
           " -b baud-rate\n"
           " -e trailer-bits\n"
           " -g gap-bits\n"
           " -l leader-bits\n"
           " -p (for reverse phase)\n"
           " -r sample-rate\n"
           " -w lower-carrier-wave\n"
           "default: " +
           last + "\n";
}

const std::string usage_default = usage("-a 0.66 -b 1200 -e 60 -g 2 -l 1200 -r 44100 -w 1200");

// A readable test name: the case's index and its arguments, letters and digits only.
std::string args_name(std::size_t index, const std::vector<std::string>& args) {
    std::string name = "case" + std::to_string(index);
    for (const std::string& a : args) {
        name += '_';
        for (const char ch : a)
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : 'x';
    }
    return name;
}

struct message_case {
    std::vector<std::string> args;
    std::string out;
    std::string err = {};
};

class FskencMessages : public Fskenc, public testing::WithParamInterface<message_case> {};

// Every message ends the run with status 1, writes nothing else, and creates no output.
TEST_P(FskencMessages, OneLineStatusOneNoOutput) {
    const message_case& c = GetParam();
    const run_result r = run_fskenc(dir, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(exists("out.wav"));
}

const std::string bad_baud = "illegal baud rate\n";
const std::string bad_carrier = "illegal carrier frequency\n";
const std::string bad_rate = "illegal sample rate\n";
const std::string too_low = "sample rate too low for the carrier frequency\n";
const std::string bad_amplitude = "amplitude must be between 0 and 1\n";
const std::string bad_leader = "illegal leader bits\n";
const std::string bad_gap = "illegal gap bits\n";
const std::string bad_trailer = "illegal trailer bits\n";

INSTANTIATE_TEST_SUITE_P(
    Table, FskencMessages,
    testing::Values(
        // Operand counts: the usage, with the settings in force.
        message_case{{}, usage_default}, message_case{{"in.bin"}, usage_default},
        message_case{{"in.bin", "out.wav", "extra"}, usage_default},
        message_case{{"-b"}, usage_default},
        message_case{{"in.bin", "out.wav", "-b"}, usage_default},
        message_case{{"-b", "600", "-p", "-8"},
                     usage("-a 0.66 -b 600 -e 60 -g 2 -l 1200 -r 44100 -w 1200")},
        message_case{
            {"-a", "0.5", "-l", "0", "-g", "0", "-e", "7", "-r", "48000", "-w", "2400", "in.bin"},
            usage("-a 0.5 -b 1200 -e 7 -g 0 -l 0 -r 48000 -w 2400")},
        message_case{{"-a", "1", "-r", "7200", "-x", "-r9"},
                     usage("-a 1 -b 1200 -e 60 -g 2 -l 1200 -r 7200 -w 1200"),
                     "fskenc: ignoring unknown option -x\nfskenc: ignoring unknown option -r9\n"},
        message_case{{"-b", "12.9", "-w", "1200abc", "-l", " +3"},
                     usage("-a 0.66 -b 12 -e 60 -g 2 -l 3 -r 44100 -w 1200")},
        // Option values, in the order the scan meets them.
        message_case{{"-b", "0", "in.bin", "out.wav"}, bad_baud},
        message_case{{"-b", "-1200", "in.bin", "out.wav"}, bad_baud},
        message_case{{"-b", "fast", "in.bin", "out.wav"}, bad_baud},
        message_case{{"-b", "2147483648", "in.bin", "out.wav"}, bad_baud},
        message_case{{"-b", "99999999999999999999", "in.bin", "out.wav"}, bad_baud},
        message_case{{"-b", "0", "-w", "1000", "-a", "2"}, bad_baud},
        message_case{{"-w", "0", "in.bin", "out.wav"}, bad_carrier},
        message_case{{"-w", "4294968496", "in.bin", "out.wav"}, bad_carrier},
        message_case{{"-w", "1000", "in.bin", "out.wav"}, bad_carrier},
        message_case{{"-w", "1000"}, bad_carrier},
        message_case{{"-b", "2400", "in.bin", "out.wav"}, bad_carrier},
        message_case{{"-r", "0", "in.bin", "out.wav"}, bad_rate},
        message_case{{"-r", "-44100", "in.bin", "out.wav"}, bad_rate},
        message_case{{"-r", "cd", "in.bin", "out.wav"}, bad_rate},
        message_case{{"-r", "2147483648", "in.bin", "out.wav"}, bad_rate},
        message_case{{"-a", "0", "in.bin", "out.wav"}, bad_amplitude},
        message_case{{"-a", "-0.5", "in.bin", "out.wav"}, bad_amplitude},
        message_case{{"-a", "1.01", "in.bin", "out.wav"}, bad_amplitude},
        message_case{{"-a", "loud", "in.bin", "out.wav"}, bad_amplitude},
        message_case{{"-a", "nan", "in.bin", "out.wav"}, bad_amplitude},
        message_case{{"-a", "inf", "in.bin", "out.wav"}, bad_amplitude},
        message_case{{"-l", "-1", "in.bin", "out.wav"}, bad_leader},
        message_case{{"-l", "2147483648", "in.bin", "out.wav"}, bad_leader},
        message_case{{"-g", "-2", "in.bin", "out.wav"}, bad_gap},
        message_case{{"-e", "-60", "in.bin", "out.wav"}, bad_trailer},
        // Combinations: the sample rate at least six times the lower tone (fskdec -r reads it).
        message_case{{"-r", "7199", "in.bin", "out.wav"}, too_low},
        message_case{{"-b", "2400", "-w", "2400", "-r", "14399", "in.bin", "out.wav"}, too_low},
        message_case{{"-r", "4800", "in.bin", "out.wav"}, too_low},
        message_case{{"-r", "1000", "in.bin", "out.wav"}, too_low},
        message_case{{"-w", "12000", "in.bin", "out.wav"}, too_low},
        message_case{{"-b", "300", "-w", "600", "-r", "2400"}, too_low},
        // The input, then the recording's size, then the output.
        message_case{{"missing.bin", "out.wav"}, "cannot open missing.bin\n"},
        message_case{{".", "out.wav"}, "cannot open .\n"},
        message_case{{"--", "-b", "out.wav"}, "cannot open -b\n"},
        message_case{{"-l", "2000000000", "in.bin", "out.wav"}, "output too long for a WAV file\n"},
        message_case{{"-r", "2000000000", "-w", "1200", "in.bin", "out.wav"},
                     "output too long for a WAV file\n"},
        // An endless input: reading stops past what a WAV file can carry.
        message_case{{"/dev/zero", "out.wav"}, "output too long for a WAV file\n"},
        message_case{{"missing.bin", "no/such/dir/out.wav"}, "cannot open missing.bin\n"},
        message_case{{"in.bin", "no/such/dir/out.wav"}, "cannot open no/such/dir/out.wav\n"},
        message_case{{"in.bin", "/dev/full"}, "cannot write /dev/full\n"}),
    [](const testing::TestParamInfo<message_case>& info) {
        return args_name(info.index, info.param.args);
    });

// The most bytes a recording can carry: one more does not fit.
TEST(FskencLimit, MaxBytesIsTheLastThatFits) {
    for (const synth_settings& s :
         {synth_settings{.leader_bits = 1200, .gap_bits = 2, .trailer_bits = 60},
          synth_settings{.sample_rate = 50000000, .baud_rate = 1, .lower_tone = 1}}) {
        const std::uint64_t most = synth_max_bytes(s);
        EXPECT_NO_THROW(synth_data_size(s, most));
        EXPECT_THROW(synth_data_size(s, most + 1), fskdec_error);
    }
    EXPECT_EQ(synth_max_bytes({.leader_bits = 2000000000}), 0u);
}

TEST_F(Fskenc, WriteErrorOnStandardOutputIsStatusOne) {
    // The recording goes to standard output, so the message goes to standard error.
    const run_result r = run_fskenc(dir, {"in.bin", "-"}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write -\n");
}

TEST_F(Fskenc, UnreadableInputCreatesNoOutput) {
    // Reading a directory through standard input fails part way.
    const run_result r = run_fskenc(dir, {"-", "out.wav"}, ".stdout", ".");
    EXPECT_EQ(r.out, "cannot read -\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists("out.wav"));
}

// The recording's header, read at its fixed offsets.
std::uint32_t u32_at(const std::string& f, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(f[at])) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(f[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(f[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(f[at + 3])) << 24;
}
std::uint32_t u16_at(const std::string& f, std::size_t at) {
    return u32_at(f, at) & 0xFFFF;
}

// The first channel's sample of frame n.
int sample(const std::string& f, std::size_t n, int bits) {
    if (bits == 8) return static_cast<std::uint8_t>(f[44 + n]) - 128;
    return static_cast<std::int16_t>(u16_at(f, 44 + 2 * n));
}

struct header_case {
    std::vector<std::string> options;
    std::size_t input_size;
    std::uint32_t sample_rate;
    std::uint32_t bits;
    std::uint64_t bit_times;  // leader + 9 + gap per byte + trailer
    std::uint64_t baud;
};

class FskencHeader : public Fskenc, public testing::WithParamInterface<header_case> {};

// A canonical 44-byte header; the data holds exactly the frames that start within the bit
// times (frame n starts at n / sample_rate seconds), so no error builds up over a long run.
TEST_P(FskencHeader, CanonicalHeaderAndExactLength) {
    const header_case& c = GetParam();
    write_file(dir + "/in.bin", std::string(c.input_size, 'x'));
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"in.bin", "out.wav"});
    const run_result r = run_fskenc(dir, args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const std::string f = read_file(dir + "/out.wav");
    ASSERT_GE(f.size(), 44u);
    const std::uint64_t frames = (c.bit_times * c.sample_rate + c.baud - 1) / c.baud;
    const std::uint32_t align = c.bits / 8;
    EXPECT_EQ(f.size(), 44 + frames * align);
    EXPECT_EQ(f.substr(0, 4), "RIFF");
    EXPECT_EQ(u32_at(f, 4), f.size() - 8);
    EXPECT_EQ(f.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(u32_at(f, 16), 16u);
    EXPECT_EQ(u16_at(f, 20), 1u);  // PCM
    EXPECT_EQ(u16_at(f, 22), 1u);  // mono
    EXPECT_EQ(u32_at(f, 24), c.sample_rate);
    EXPECT_EQ(u32_at(f, 28), c.sample_rate * align);
    EXPECT_EQ(u16_at(f, 32), align);
    EXPECT_EQ(u16_at(f, 34), c.bits);
    EXPECT_EQ(f.substr(36, 4), "data");
    EXPECT_EQ(u32_at(f, 40), f.size() - 44);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FskencHeader,
    testing::Values(header_case{{}, 3, 44100, 16, 1200 + 3 * 11 + 60, 1200},
                    header_case{{}, 0, 44100, 16, 1200 + 60, 1200},
                    header_case{{"-8", "-r", "22050"}, 5, 22050, 8, 1200 + 5 * 11 + 60, 1200},
                    header_case{{"-l", "0", "-g", "0", "-e", "0"}, 1, 44100, 16, 9, 1200},
                    header_case{{"-l", "0", "-g", "0", "-e", "0"}, 0, 44100, 16, 0, 1200},
                    header_case{{"-b", "300", "-r", "8000", "-l", "7", "-g", "5", "-e", "3"},
                                1000,
                                8000,
                                16,
                                7 + 1000 * 14 + 3,
                                300},
                    header_case{{"-b", "2400", "-w", "2400", "-r", "96000", "-p"},
                                2,
                                96000,
                                16,
                                1200 + 2 * 11 + 60,
                                2400}),
    [](const testing::TestParamInfo<header_case>& info) {
        return args_name(info.index, info.param.options) + "_input" +
               std::to_string(info.param.input_size);
    });

// The tone stands at a positive peak at every bit boundary, also where the boundary falls
// between frames: at 44100 Hz and 1200 baud every fourth boundary lands on frame 147·k.
TEST_F(Fskenc, PeakAtEveryBitBoundaryInContinuousTime) {
    write_file(dir + "/in.bin", std::string("\x00\xFF\x5A", 3));
    ASSERT_EQ(run_fskenc(dir, {"-l", "8", "in.bin", "out.wav"}).status, 0);
    const std::string f = read_file(dir + "/out.wav");
    const std::size_t frames = (f.size() - 44) / 2;
    const int peak = static_cast<int>(std::lround(0.66 * 32767));
    for (std::size_t n = 0; n < frames; n += 147)
        EXPECT_EQ(sample(f, n, 16), peak) << "frame " << n;
    // Between such frames the boundary falls within a quarter frame of a frame, where the
    // upper tone (the fastest) has turned by under 20 degrees from its peak.
    for (std::size_t bit = 0; bit * 36.75 < static_cast<double>(frames); ++bit) {
        const auto n = static_cast<std::size_t>(std::lround(bit * 36.75));
        if (n < frames) {
            EXPECT_GT(sample(f, n, 16), peak * 0.93) << "bit " << bit;
        }
    }
}

struct first_samples_case {
    std::vector<std::string> options;
    int bits;
    int first;
    bool rising;  // the second frame lies above the first
};

class FskencPhase : public Fskenc, public testing::WithParamInterface<first_samples_case> {};

// The first frame is the first bit boundary: a positive peak, or with -p the tone crossing
// zero rising.
TEST_P(FskencPhase, FirstFrames) {
    const first_samples_case& c = GetParam();
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"in.bin", "out.wav"});
    ASSERT_EQ(run_fskenc(dir, args).status, 0);
    const std::string f = read_file(dir + "/out.wav");
    EXPECT_EQ(sample(f, 0, c.bits), c.first);
    EXPECT_EQ(sample(f, 1, c.bits) > sample(f, 0, c.bits), c.rising);
}

INSTANTIATE_TEST_SUITE_P(Table, FskencPhase,
                         testing::Values(first_samples_case{{}, 16, 21626, false},  // 0.66 * 32767
                                         first_samples_case{{"-8"}, 8, 84, false},  // 0.66 * 127
                                         first_samples_case{{"-a", "1"}, 16, 32767, false},
                                         first_samples_case{{"-a", "1", "-8"}, 8, 127, false},
                                         first_samples_case{{"-p"}, 16, 0, true},
                                         first_samples_case{{"-p", "-8"}, 8, 0, true}),
                         [](const testing::TestParamInfo<first_samples_case>& info) {
                             return args_name(info.index, info.param.options);
                         });

// An independent measure of the tones: the 1200-bit leader at 1200 baud is one second of the
// upper tone, so it crosses zero rising 2400 times; with -w 2400 -b 1200, 4800 times.
TEST_F(Fskenc, LeaderToneCountedByZeroCrossings) {
    for (const auto& [w, expected] : {std::pair{"1200", 2400}, std::pair{"2400", 4800}}) {
        ASSERT_EQ(run_fskenc(dir, {"-w", w, "-r", "48000", "in.bin", "out.wav"}).status, 0);
        const std::string f = read_file(dir + "/out.wav");
        int rising = 0;
        for (std::size_t n = 1; n < 48000; ++n)
            rising += sample(f, n - 1, 16) < 0 && sample(f, n, 16) >= 0;
        EXPECT_EQ(rising, expected) << "-w " << w;
    }
}

// Standard input and standard output carry exactly what files do; an existing output is
// truncated.
TEST_F(Fskenc, StandardStreamsMatchFiles) {
    write_file(dir + "/in.bin", std::string(500, '\x5A') + "end");
    write_file(dir + "/out.wav", std::string(2000000, 'z'));
    ASSERT_EQ(run_fskenc(dir, {"-8", "in.bin", "out.wav"}).status, 0);
    const run_result piped = run_fskenc(dir, {"-8", "-", "-"}, ".stdout", "in.bin");
    ASSERT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    const std::string file = read_file(dir + "/out.wav");
    EXPECT_EQ(piped.out.size(), file.size());
    EXPECT_TRUE(piped.out == file);
}

TEST_F(Fskenc, EmptyInputFromStandardInput) {
    const run_result r = run_fskenc(dir, {"-l", "0", "-e", "0", "-", "-"});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), 44u);
    EXPECT_EQ(u32_at(r.out, 40), 0u);
}

}  // namespace
