// Hostile headers and settings: whatever the header and the options declare, the work and
// the memory follow the data actually present. Each file either decodes exactly what its
// samples carry, decodes nothing, or fails with its one-line message; never a crash, a read
// outside the data, an allocation sized by a declared value or a window-squared computation
// over data that holds no whole window.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/options.h"
#include "audio/input.h"
#include "base/error.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "pcm_samples.h"
#include "run_program.h"
#include "wav_builder.h"

namespace {

const std::string text = "hostile";

// The synthesized signal of `text` (44100 Hz, 1200 baud), as sample data of one channel.
byte_vector signal_samples(std::int32_t bits) {
    synth_settings signal;
    signal.quantization_bit = bits;
    signal.leader_bits = 20;
    signal.gap_bits = 2;
    signal.trailer_bits = 20;
    return synthesize_samples(byte_vector(text.begin(), text.end()), signal);
}

byte_vector with_extra_byte(byte_vector data) {
    data.push_back(0x5A);
    return data;
}

// A file that does not start with RIFF: read through the fixed 44-byte layout.
byte_vector not_riff(byte_vector file) {
    file[0] = 'X';
    return file;
}

struct hostile_case {
    std::string name;
    std::function<byte_vector()> file;
    std::vector<std::string> options;
    std::string out;                     // standard output, exactly
    int status;                          // exit status
    std::optional<std::string> decoded;  // the output file's contents; nullopt: not created
};

// Test names and failure reports show the case's name, not its bytes.
void PrintTo(const hostile_case& c, std::ostream* os) {
    *os << c.name;
}

const fmt_fields mono16 = {1, 1, 44100, 2, 16};
const fmt_fields mono8 = {1, 1, 44100, 1, 8};

fmt_fields with_rate(fmt_fields f, std::uint32_t rate) {
    f.sample_rate = rate;
    return f;
}
fmt_fields with_align(fmt_fields f, std::uint16_t channels, std::uint16_t block_align) {
    f.channels = channels;
    f.block_align = block_align;
    return f;
}

const std::string too_low = "sample rate too low for the carrier frequency\n";

const std::vector<hostile_case> hostile_cases = {
    // A window of one second (-b 1) over a file far shorter than one second: the first
    // window reaches the end of the data, so there is nothing to decode.
    {"OneBaudWindowOf44100Frames",
     [] { return canonical_wav(mono8, signal_samples(8)); },
     {"-b", "1", "-w", "1"},
     "",
     0,
     ""},
    {"OneBaudWindowOfPrimeLength",
     [] { return canonical_wav(with_rate(mono8, 1000003), signal_samples(8)); },
     {"-b", "1", "-w", "1"},
     "",
     0,
     ""},
    {"OneBaudWindowOfLargestLength",
     [] { return canonical_wav(with_rate(mono16, 0x7FFFFFFF), signal_samples(16)); },
     {"-b", "1", "-w", "1"},
     "",
     0,
     ""},
    {"LargestRateWithDefaults",
     [] { return canonical_wav(with_rate(mono16, 0x7FFFFFFF), signal_samples(16)); },
     {},
     "",
     0,
     ""},
    // 4294967295 does not fit the signed rate: a negative window is rejected.
    {"RateAllOnes",
     [] { return canonical_wav(with_rate(mono16, 0xFFFFFFFF), signal_samples(16)); },
     {},
     too_low,
     1,
     std::nullopt},
    {"RateAllOnesOneBaud",
     [] { return canonical_wav(with_rate(mono16, 0xFFFFFFFF), signal_samples(16)); },
     {"-b", "1", "-w", "1"},
     too_low,
     1,
     std::nullopt},
    {"RateZero",
     [] { return canonical_wav(with_rate(mono16, 0), signal_samples(16)); },
     {},
     too_low,
     1,
     std::nullopt},
    // 65535 is -1 as a signed 16-bit field: smaller than one sample.
    {"BlockAlign65535",
     [] { return canonical_wav(with_align(mono16, 1, 0xFFFF), signal_samples(16)); },
     {},
     "illegal block align\n",
     1,
     std::nullopt},
    {"BlockAlign65535Stereo8Bit",
     [] { return canonical_wav(with_align(mono8, 2, 0xFFFF), signal_samples(8)); },
     {},
     "illegal block align\n",
     1,
     std::nullopt},
    // Two channels declared, but frames of one sample: the frames are what the decoder
    // steps by, so the data decodes as the one channel it really is.
    {"Stereo16BitBlockAlign2",
     [] { return canonical_wav(with_align(mono16, 2, 2), signal_samples(16)); },
     {},
     "",
     0,
     text},
    {"Stereo8BitBlockAlign1",
     [] { return canonical_wav(with_align(mono8, 2, 1), signal_samples(8)); },
     {},
     "",
     0,
     text},
    // A frame larger than the whole data: not one whole frame, nothing to decode.
    {"BlockAlignBeyondData",
     [] { return canonical_wav(with_align(mono8, 1, 0x7FFF), signal_samples(8)); },
     {},
     "",
     0,
     ""},
    // A streaming writer's data size: the bytes present are decoded.
    {"DataSizeAllOnes",
     [] { return canonical_wav(mono16, signal_samples(16), 0xFFFFFFFF); },
     {},
     "",
     0,
     text},
    {"DataSizeAllOnesFixedLayout",
     [] { return not_riff(canonical_wav(mono16, signal_samples(16), 0xFFFFFFFF)); },
     {},
     "",
     0,
     text},
    {"DataSizeAllOnesOddLength",
     [] { return canonical_wav(mono16, with_extra_byte(signal_samples(16)), 0xFFFFFFFF); },
     {},
     "",
     0,
     text},
    {"DataSizeZero",
     [] { return canonical_wav(mono16, signal_samples(16), 0); },
     {},
     "cannot allocate memory\n",
     1,
     std::nullopt},
};

// Runs fskdec with `args` in `dir`.
run_result run_fskdec(const std::string& dir, const std::vector<std::string>& args) {
    return run_program(FSKDEC_EXE, dir, args);
}

class Hostile : public ::testing::TestWithParam<hostile_case> {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    temp_dir tmp{"fskdec_hostile"};
    const std::string& dir = tmp.path;
};

TEST_P(Hostile, CommandLine) {
    const hostile_case& c = GetParam();
    write_file(dir + "/in.wav", c.file());
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {dir + "/in.wav", dir + "/out.bin"});
    const run_result r = run_fskdec(dir, args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(file_contents(dir + "/out.bin"), c.decoded);
}

// The same file through the library: both decoders give the same bytes from whole frames.
TEST_P(Hostile, LibraryDecodersAgree) {
    const hostile_case& c = GetParam();
    const byte_vector file = c.file();
    std::vector<const char*> argv = {"fskdec"};
    for (const std::string& a : c.options)
        argv.push_back(a.c_str());
    argv.insert(argv.end(), {"in.wav", "out.bin"});
    decoder_settings settings;
    ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), settings),
              static_cast<int>(argv.size()) - 2);
    try {
        const std::unique_ptr<sample_source> source = memory_audio(file);
        const audio_format format = source->format();
        const demod_config config =
            make_demod_config(format, settings.signal, settings.threshold_ratio);
        if (settings.channel > format.channels) throw fskdec_error("illegal channel");
        const std::vector<double> values = read_all(*source);
        ASSERT_EQ(values.size() % static_cast<std::size_t>(format.channels), 0u);
        const std::int32_t channel = settings.channel - 1;
        const std::vector<std::uint8_t> fast =
            decode_values(format, values, config, false, channel);
        EXPECT_EQ(fast, decode_values(format, values, config, true, channel));
        ASSERT_TRUE(c.decoded.has_value()) << "accepted a file the program rejects";
        EXPECT_EQ(std::string(fast.begin(), fast.end()), *c.decoded);
    } catch (const fskdec_error& e) {
        EXPECT_EQ(std::string(e.what()) + "\n", c.out);
        EXPECT_FALSE(c.decoded.has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Hostile, ::testing::ValuesIn(hostile_cases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
