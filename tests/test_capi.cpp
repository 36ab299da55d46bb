// libfskdec against the tool: the same recording, decoded by fskdec and through the C
// interface (samples pushed in pieces of every awkward size, and the whole file), must give
// the same bytes in both modes. Also the interface's messages and its misuse.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/wav_writer.h"
#include "fskdec.h"
#include "impair.h"
#include "mod/synth.h"
#include "run_program.h"

namespace {

struct library_case {
    std::string name;
    std::int32_t sample_rate = 44100;
    std::int32_t bits = 16;
    std::int32_t baud = 1200;
    std::int32_t lower_tone = 1200;
    double amplitude = 0.5;
    double noise = 0.0;     // white, fraction of full scale
    double dropouts = 0.0;  // silent stretches of 30 ms every `dropouts` seconds
    bool inverted = false;  // recorded inverted, decoded with reverse_phase
    double threshold = 0.15;
    std::size_t cut = 0;  // frames dropped from the end (into the trailer or last byte)
};

void PrintTo(const library_case& c, std::ostream* os) {
    *os << c.name;
}

// A few blocks of random bytes with leaders and gaps, as a recording of `c.bits` bits.
std::vector<std::uint8_t> make_recording(const library_case& c) {
    random_source r{std::hash<std::string>{}(c.name)};
    std::vector<double> x;
    tone_settings tone;
    tone.sample_rate = c.sample_rate;
    tone.signal.baud_rate = c.baud;
    tone.signal.lower_tone = c.lower_tone;
    tone.amplitude = c.inverted ? -c.amplitude : c.amplitude;
    for (int block = 0; block < 3; ++block) {
        const std::vector<std::uint8_t> bytes = random_bytes(40, r);
        const std::vector<int> gaps(bytes.size(), block);
        const std::vector<double> part = render_fsk(frame_bits(bytes, gaps, 30, 10), tone, {});
        x.insert(x.end(), part.begin(), part.end());
        if (block < 2) x.insert(x.end(), static_cast<std::size_t>(c.sample_rate / 4), 0.0);
    }
    if (c.dropouts > 0) apply_dropouts(x, c.dropouts, 0.03, -80.0, c.sample_rate);
    if (c.noise > 0) add_white_noise(x, c.noise, r);
    x.resize(x.size() - c.cut);  // 10 trailer bits are 368 frames at 44100 Hz
    std::vector<std::uint8_t> wav;
    append_pcm(x, c.bits, wav);
    std::vector<std::uint8_t> image =
        make_wav_header(1, c.sample_rate, c.bits, static_cast<std::uint32_t>(wav.size()));
    image.insert(image.end(), wav.begin(), wav.end());
    return image;
}

// The recording's samples as the interface takes them: 16-bit values / 32768, 8-bit ones
// (their offset removed) / 128.
std::vector<float> samples_of(const std::vector<std::uint8_t>& image, std::int32_t bits) {
    std::vector<float> out;
    for (std::size_t i = 44; i + static_cast<std::size_t>(bits / 8) <= image.size(); i += bits / 8)
        out.push_back(bits == 8 ? static_cast<float>(image[i] - 128) / 128.0f
                                : static_cast<float>(
                                      static_cast<std::int16_t>(image[i] | (image[i + 1] << 8))) /
                                      32768.0f);
    return out;
}

fskdec_options options_for(const library_case& c, int recover) {
    fskdec_options o;
    fskdec_default_options(&o);
    o.baud_rate = c.baud;
    o.lower_tone = c.lower_tone;
    o.threshold = c.threshold;
    o.reverse_phase = c.inverted ? 1 : 0;
    o.recover = recover;
    return o;
}

std::string decode_in_pieces(const fskdec_options& o, double rate, const std::vector<float>& x,
                             std::size_t piece) {
    char err[128] = "";
    fskdec_decoder* d = fskdec_open(&o, rate, err, sizeof err);
    EXPECT_NE(d, nullptr) << err;
    if (d == nullptr) return {};
    std::string out;
    unsigned char buf[5];  // read in small bites too, between the writes
    for (std::size_t i = 0; i < x.size(); i += piece) {
        EXPECT_EQ(fskdec_write(d, x.data() + i, std::min(piece, x.size() - i)), 0);
        for (std::size_t n; (n = fskdec_read(d, buf, sizeof buf)) > 0;)
            out.append(reinterpret_cast<char*>(buf), n);
    }
    EXPECT_EQ(fskdec_finish(d), 0);
    for (std::size_t n; (n = fskdec_read(d, buf, sizeof buf)) > 0;)
        out.append(reinterpret_cast<char*>(buf), n);
    EXPECT_EQ(fskdec_finish(d), -1);  // once only
    EXPECT_EQ(fskdec_write(d, x.data(), 1), -1);
    EXPECT_STREQ(fskdec_last_error(d), "input already finished");
    fskdec_close(d);
    return out;
}

class LibraryDecode : public ::testing::TestWithParam<library_case> {};

TEST_P(LibraryDecode, EqualsTheToolInBothModes) {
    const library_case& c = GetParam();
    const temp_dir dir("fskdec_capi");
    ASSERT_FALSE(dir.path.empty());
    const std::vector<std::uint8_t> image = make_recording(c);
    write_file(dir.path + "/in.wav", image);
    const std::vector<float> x = samples_of(image, c.bits);
    // recover 2 measures the signal: the tool told neither -b nor -w.
    for (const int recover : {0, 1, 2}) {
        std::vector<std::string> args = {"-q", "-t", std::to_string(c.threshold)};
        if (recover < 2) {
            args.insert(args.end(), {"-b", std::to_string(c.baud), "-w",
                                     std::to_string(c.lower_tone)});
        }
        if (recover) args.push_back("-r");
        if (c.inverted) args.push_back("-p");
        args.insert(args.end(), {"in.wav", "out.bin"});
        const run_result tool = run_program(FSKDEC_EXE, dir.path, args);
        ASSERT_EQ(tool.status, 0) << tool.err;
        const std::string want = read_file(dir.path + "/out.bin");
        ASSERT_GT(want.size(), 60u) << "too few bytes to compare";
        const fskdec_options o = options_for(c, recover);
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{7}, std::size_t{4093}, x.size()})
            EXPECT_EQ(decode_in_pieces(o, c.sample_rate, x, piece), want)
                << "recover " << recover << ", pieces of " << piece;
        unsigned char* bytes = nullptr;
        std::size_t count = 0;
        char err[128] = "";
        ASSERT_EQ(fskdec_decode_file((dir.path + "/in.wav").c_str(), &o, 1, &bytes, &count, err,
                                     sizeof err),
                  0)
            << err;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), count), want);
        fskdec_free(bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, LibraryDecode,
    ::testing::Values(
        library_case{.name = "clean_16bit"},
        library_case{.name = "clean_8bit_22050", .sample_rate = 22050, .bits = 8},
        library_case{
            .name = "noisy_inverted_cut_short", .noise = 0.12, .inverted = true, .cut = 520},
        library_case{.name = "dropouts_noise_threshold_030",
                     .amplitude = 0.8,
                     .noise = 0.05,
                     .dropouts = 0.7,
                     .threshold = 0.3},
        library_case{
            .name = "300_baud_600_hz_11025", .sample_rate = 11025, .baud = 300, .lower_tone = 600}),
    [](const auto& info) { return info.param.name; });

// The tool's messages, through err; err cut to its size and always terminated.
TEST(LibraryErrors, OpenAndDecodeFileGiveTheToolsMessages) {
    struct bad {
        const char* name;
        int baud, tone;
        double threshold, rate;
        const char* message;
    };
    const bad cases[] = {
        {"baud", 0, 1200, 0.15, 44100, "illegal baud rate"},
        {"tone", 1200, -1, 0.15, 44100, "illegal carrier frequency"},
        {"tone_not_multiple", 1200, 1800, 0.15, 44100, "illegal carrier frequency"},
        {"threshold", 1200, 1200, 1.0, 44100, "threshold must be between 0 and 1"},
        {"rate_low", 1200, 1200, 0.15, 2400, "sample rate too low for the carrier frequency"},
        {"rate_zero", 1200, 1200, 0.15, 0, "sample rate too low for the carrier frequency"},
        {"rate_fraction", 1200, 1200, 0.15, 44100.5, "illegal sample rate"},
    };
    for (const bad& b : cases) {
        for (const int recover : {0, 1}) {
            fskdec_options o;
            fskdec_default_options(&o);
            o.baud_rate = b.baud;
            o.lower_tone = b.tone;
            o.threshold = b.threshold;
            o.recover = recover;
            char err[64];
            std::memset(err, 'x', sizeof err);
            EXPECT_EQ(fskdec_open(&o, b.rate, err, sizeof err), nullptr) << b.name;
            if (recover && std::strcmp(b.name, "rate_low") == 0) continue;  // its own message
            EXPECT_STREQ(err, b.message) << b.name << (recover ? " -r" : "");
        }
    }
    char tiny[5];
    unsigned char* bytes = nullptr;
    std::size_t count = 7;
    EXPECT_EQ(
        fskdec_decode_file("/nonexistent/x.wav", nullptr, 1, &bytes, &count, tiny, sizeof tiny),
        -1);
    EXPECT_STREQ(tiny, "cann");
    char err[128];
    EXPECT_EQ(fskdec_decode_file("/nonexistent/x.wav", nullptr, 3, &bytes, &count, err, sizeof err),
              -1);
    EXPECT_STREQ(err, "illegal channel");
}

// A one-bit window of 2^31 - 1 frames (a prime: its plan would take tens of GB) costs nothing
// until more than a window has been written, as in the tool (fuzz_capi found the open
// allocating 2.9 GB at a rate of 182 MHz and 1 baud).
TEST(LibraryErrors, PlansNothingForAWindowNotYetWritten) {
    fskdec_options o;
    fskdec_default_options(&o);
    o.baud_rate = 1;
    o.lower_tone = 1;
    fskdec_decoder* d = fskdec_open(&o, 2147483647.0, nullptr, 0);
    ASSERT_NE(d, nullptr);
    const std::vector<float> samples(4096, 0.25f);
    EXPECT_EQ(fskdec_write(d, samples.data(), samples.size()), 0);
    EXPECT_EQ(fskdec_finish(d), 0);
    unsigned char out[4];
    EXPECT_EQ(fskdec_read(d, out, sizeof out), 0u);
    fskdec_close(d);
}

}  // namespace
