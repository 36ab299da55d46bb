// fskdec end to end on recordings made here: every sample format gives the same bytes, -c
// picks the channel, a paused pipe still delivers what is decoded so far, and the report
// (-v, -q, the hints, -m) describes the recording as it was made.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <poll.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <csignal>
#include <cstdio>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/wav_writer.h"
#include "mod/synth.h"
#include "report/lines.h"
#include "report/map.h"
#include "run_program.h"
#include "wav_builder.h"

namespace {

using values = std::vector<double>;
constexpr int rate = 44100;
constexpr double bit_seconds = 1.0 / 1200;

byte_vector payload(std::size_t n) {
    byte_vector p(n);
    for (std::size_t i = 0; i < n; ++i)
        p[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return p;
}

// A burst: 24 idle bits, the bytes with two idle bits after each, 12 idle bits.
values burst(const byte_vector& bytes, double amplitude = 0.66, double noise = 0.0) {
    return synthesize_values(bytes, {.amplitude = amplitude,
                                     .leader_bits = 24,
                                     .gap_bits = 2,
                                     .trailer_bits = 12,
                                     .noise = noise});
}

values silence(double seconds) {
    return values(static_cast<std::size_t>(seconds * rate), 0.0);
}

values operator+(values a, const values& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

byte_vector wav16(const values& v, std::int32_t channels = 1, std::int32_t sample_rate = rate) {
    byte_vector out = make_wav_header(channels, sample_rate, 16, 2 * v.size());
    append_pcm(v, 16, out);
    return out;
}

// A directory of its own for each test, removed afterwards.
class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    run_result run(const std::vector<std::string>& args) {
        return run_program(FSKDEC_EXE, dir, args);
    }
    temp_dir tmp{"fskdec_e2e"};
    const std::string& dir = tmp.path;
};

// The noisy message every format carries, as 16-bit integers; their decode is exact.
const byte_vector message = payload(256);
const std::string message_text(message.begin(), message.end());
const std::vector<short> message_pcm = [] {
    byte_vector b;
    append_pcm(burst(message, 0.66, 0.05), 16, b);
    std::vector<short> out(b.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<short>(b[2 * i] | b[2 * i + 1] << 8);
    return out;
}();

// A RIFF WAVE image of the message, each sample widened to `f.bits` bits: integers keep
// their value at full scale, floats (tag 3, or the float subformat) take it as a fraction.
byte_vector wav_of(fmt_fields f, std::size_t fmt_size = 16,
                   const std::array<std::uint8_t, 16>& guid = pcm_guid) {
    const bool is_float = f.tag == 3 || (f.tag == 0xFFFE && guid == float_guid);
    byte_vector data;
    for (short s : message_pcm) {
        std::uint64_t v = static_cast<std::uint64_t>(std::int64_t{s} << (f.bits - 16));
        if (is_float && f.bits == 32) v = std::bit_cast<std::uint32_t>(s / 32768.0f);
        if (is_float && f.bits == 64) v = std::bit_cast<std::uint64_t>(s / 32768.0);
        for (int k = 0; k < f.bits / 8; ++k)
            data.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    return riff_wave({{"fmt ", fmt_body(f, fmt_size, guid)}, {"data", data}});
}

struct format_case {
    const char* name;
    fmt_fields f;
    std::size_t fmt_size = 16;
    std::array<std::uint8_t, 16> guid = pcm_guid;
    int sndfile_format = 0;  // else libsndfile writes the file in this format
};

const format_case format_cases[] = {
    {"Pcm16", {1, 1, rate, 2, 16}},
    {"Pcm24", {1, 1, rate, 3, 24}},
    {"Pcm32", {1, 1, rate, 4, 32}},
    {"Float32", {3, 1, rate, 4, 32}},
    {"Float64", {3, 1, rate, 8, 64}},
    {"Extensible24", {0xFFFE, 1, rate, 3, 24}, 40},
    {"ExtensibleFloat", {0xFFFE, 1, rate, 4, 32}, 40, float_guid},
    {"Flac", {}, 16, pcm_guid, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    {"Aiff", {}, 16, pcm_guid, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
    // libsndfile writes MP3 without an ID3 tag: it starts with an MPEG frame header.
    {"Mp3", {}, 16, pcm_guid, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
};

// The message written by libsndfile in `format` to `path`.
void write_sndfile(const std::string& path, int format) {
    SF_INFO info{0, rate, 1, format, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<sf_count_t>(message_pcm.size());
    EXPECT_EQ(sf_writef_short(f, message_pcm.data(), frames), frames);
    sf_close(f);
}

class Formats : public EndToEnd, public ::testing::WithParamInterface<format_case> {};

// The same samples in every format are the same values after full scale, so they give the
// 16-bit file's bytes: the message.
TEST_P(Formats, DecodeToTheMessage) {
    const format_case& c = GetParam();
    if (c.sndfile_format == 0) {
        write_file(dir + "/in", wav_of(c.f, c.fmt_size, c.guid));
    } else {
        write_sndfile(dir + "/in", c.sndfile_format);
    }
    EXPECT_NE(read_file(dir + "/in").substr(0, 3), "ID3");
    const run_result r = run({"in", "out.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(read_file(dir + "/out.bin"), message_text);
}

// The first half of a FLAC file: the frames libsndfile decodes before it fails give what the
// same frames as a WAV file give (FLAC is lossless), and a line says where the recording ends.
TEST_F(EndToEnd, CutFlacDecodesWhatItHolds) {
    write_sndfile(dir + "/whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const std::string whole = read_file(dir + "/whole.flac");
    write_file(dir + "/half.flac", whole.substr(0, whole.size() / 2));
    SF_INFO info{};
    SNDFILE* f = sf_open((dir + "/half.flac").c_str(), SFM_READ, &info);
    std::vector<short> held(message_pcm.size());
    const auto frames = static_cast<std::size_t>(sf_readf_short(f, held.data(), info.frames));
    sf_close(f);
    ASSERT_LT(frames, held.size());
    values cut = burst(message, 0.66, 0.05);
    cut.resize(frames);
    write_file(dir + "/cut.wav", wav16(cut));
    ASSERT_EQ(run({"cut.wav", "cut.bin"}).status, 0);
    const run_result r = run({"half.flac", "half.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "fskdec: the recording ends early at " + format_time(frames, rate) +
                         " (the rest of half.flac cannot be decoded)\n");
    EXPECT_EQ(read_file(dir + "/half.bin"), read_file(dir + "/cut.bin"));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Formats, ::testing::ValuesIn(format_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The files the command-line runs find: the message mono and on channel 2 of a stereo file
// (channel 1 silent), a quiet tone, silence, a rate too low for the carrier, old files.
void make_inputs(const std::string& dir) {
    const values v = burst(message, 0.66, 0.05);
    values right(2 * v.size(), 0.0);
    for (std::size_t i = 0; i < v.size(); ++i)
        right[2 * i + 1] = v[i];
    write_file(dir + "/message.wav", wav16(v));
    write_file(dir + "/right.wav", wav16(right, 2));
    write_file(dir + "/quiet.wav", wav16(burst(payload(60), 0.1)));
    write_file(dir + "/silent.wav", wav16(silence(1.0)));
    write_file(dir + "/low.wav", wav16(silence(0.5), 1, 2400));
    write_file(dir + "/old.bin", std::string("old"));
    write_file(dir + "/old.svg", std::string("old"));
    // 300 baud on 2400/4800 Hz: -r told nothing measures it.
    write_file(dir + "/slow.wav", wav16(synthesize_values(message, {.baud_rate = 300,
                                                                    .lower_tone = 2400,
                                                                    .leader_bits = 24,
                                                                    .gap_bits = 2,
                                                                    .trailer_bits = 12})));
    // The tone crossing zero rising at every bit boundary (fskenc -p): -p reads it.
    write_file(
        dir + "/sine.wav",
        wav16(synthesize_values(
            message,
            {.phase_degrees = 270.0, .leader_bits = 24, .gap_bits = 2, .trailer_bits = 12})));
}

struct cli_case {
    const char* name;
    std::vector<std::string> args;
    std::string out;  // standard output
    std::string err;
    int status;
    std::string file = {};                     // a file to check afterwards
    std::optional<std::string> contents = {};  // its contents; none: it must not exist
};

void PrintTo(const cli_case& c, std::ostream* os) {
    *os << c.name;
}

const std::string no_bytes = "fskdec: no bytes decoded: ";
const std::string bad_channel = "illegal channel\n";

// clang-format off
const cli_case cli_cases[] = {
    {"ChannelTwo", {"-c", "2", "right.wav", "out.bin"}, "", "", 0, "out.bin", message_text},
    {"ChannelTwoRecovered", {"-r", "-c", "2", "right.wav", "out.bin"}, "", "", 0, "out.bin",
     message_text},
    {"DefaultChannelHintsAtTwo", {"right.wav", "out.bin"}, "", no_bytes + "the signal is on "
     "channel 2 (0.34 of full scale there, 0.00 on channel 1); try -c 2\n", 0, "out.bin", ""},
    {"QuietSaysNothing", {"-q", "right.wav", "out.bin"}, "", "", 0, "out.bin", ""},
    {"ChannelTwoOnMono", {"-c", "2", "message.wav", "out.bin"}, bad_channel, "", 1, "out.bin"},
    {"RecoveredChannelTwoOnMono", {"-r", "-c", "2", "message.wav", "-"}, "", bad_channel, 1},
    {"ChannelThreeBeforeOperands", {"-c", "3"}, bad_channel, "", 1},
    {"ChannelZeroBeforeOperands", {"-c", "0", "message.wav"}, bad_channel, "", 1},
    {"RateBeforeChannel", {"-c", "2", "low.wav", "out.bin"},
     "sample rate too low for the carrier frequency\n", "", 1, "out.bin"},
    {"TooQuietHint", {"quiet.wav", "-"}, "", no_bytes + "the strongest tone measures 0.05 of "
     "full scale, below the threshold 0.15 (a peak of 0.30); try -r or -t 0.04\n", 0},
    {"SilenceSaysNothing", {"silent.wav", "-"}, "", "", 0},
    {"RecoveryMeasuresTheSignal", {"-r", "slow.wav", "out.bin"}, "", "", 0, "out.bin",
     message_text},
    {"RecoveryToldAnotherSignalHints", {"-r", "-b", "1200", "slow.wav", "out.bin"}, "",
     no_bytes + "its tones look like 2400/4800 Hz at about 300 baud, not 1200/2400 Hz; try -b "
     "300 -w 2400\n", 0, "out.bin", ""},
    {"RecoveryOnSilenceSaysNothing", {"-r", "silent.wav", "-"}, "", "", 0},
    // Wrong bytes (not looked at) and a warning, the status unchanged; -q silences it.
    {"SinePhaseWarns", {"sine.wav", "out.bin"}, "", "fskdec: the bytes are likely wrong: its "
     "tones are crossing zero rising at the bit boundaries (phase 263); try -p\n", 0},
    {"SinePhaseQuiet", {"-q", "sine.wav", "out.bin"}, "", "", 0},
    {"SinePhaseWithP", {"-p", "sine.wav", "out.bin"}, "", "", 0, "out.bin", message_text},
    // The map is a second output, opened after the first and replaced as it is.
    {"MapOpenFails", {"-m", "nodir/map.svg", "message.wav", "old.bin"},
     "cannot open nodir/map.svg\n", "", 1, "old.bin", "old"},
    {"MapOpenFailsBeforeAnyData", {"-m", "nodir/map.svg", "message.wav", "-"}, "",
     "cannot open nodir/map.svg\n", 1},
    {"MapWriteFails", {"-m", "/dev/full", "message.wav", "out.bin"}, "cannot write /dev/full\n",
     "", 1, "out.bin"},
    {"FailedOutputKeepsOldMap", {"-m", "old.svg", "message.wav", "/dev/full"},
     "cannot write /dev/full\n", "", 1, "old.svg", "old"},
    {"OutputFailsMapKept", {"-m", "old.svg", "message.wav", "nodir/out.bin"},
     "cannot open nodir/out.bin\n", "", 1, "old.svg", "old"},
    {"MapIsInput", {"-m", "message.wav", "message.wav", "out.bin"},
     "input and output are the same file\n", "", 1, "out.bin"},
    {"MapIsOutput", {"-m", "old.svg", "message.wav", "old.svg"},
     "the map and the output are the same file\n", "", 1, "old.svg", "old"},
};
// clang-format on

class Runs : public EndToEnd, public ::testing::WithParamInterface<cli_case> {};

TEST_P(Runs, OutputsAndFiles) {
    const cli_case& c = GetParam();
    make_inputs(dir);
    const run_result r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
    // An unnamed file is not looked at.
    EXPECT_EQ(c.file.empty() ? c.contents : file_contents(dir + "/" + c.file), c.contents)
        << c.file;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Runs, ::testing::ValuesIn(cli_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Reads `fd` until it holds `want` bytes, reaches its end, or stays silent for 10 s.
std::string read_until(int fd, std::size_t want) {
    std::string got;
    char buffer[4096];
    for (pollfd p{fd, POLLIN, 0}; got.size() < want && poll(&p, 1, 10000) > 0;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// fskdec reads /dev/stdin, a pipe, and writes to a pipe. The writer stops half way, after the
// header, the leader and k framed bytes, until the k bytes have come out: what is decoded
// must not wait for more input. Then the rest, which must add up to the file's decode.
TEST_F(EndToEnd, PipeDeliversBytesWhileTheInputPauses) {
    const byte_vector image = wav_of({1, 1, rate, 2, 16});
    const std::size_t k = message.size() / 2;
    const std::size_t split = 44 + 2 * synth_frames(synth_settings{}, 24 + 11 * k);
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const std::string out_path = "/dev/fd/" + std::to_string(out[1]);
    const pid_t pid =
        start_program(FSKDEC_EXE, dir, {"/dev/stdin", "-"},
                      {{}, RLIM_INFINITY, "/dev/fd/" + std::to_string(in[0]), out_path});
    close(in[0]);
    close(out[1]);
    const auto old_handler = std::signal(SIGPIPE, SIG_IGN);  // fskdec may end early
    EXPECT_EQ(write(in[1], image.data(), split), static_cast<ssize_t>(split));
    const std::string early = read_until(out[0], k);
    EXPECT_EQ(write(in[1], &image[split], image.size() - split),
              static_cast<ssize_t>(image.size() - split));
    close(in[1]);
    const std::string rest = read_until(out[0], std::string::npos);
    close(out[0]);
    std::signal(SIGPIPE, old_handler);
    const run_result r = finish_program(pid, dir, out_path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(early, message_text.substr(0, k));
    EXPECT_EQ(early + rest, message_text);
}

// What standard error says, each of its lines beginning with "fskdec: ": the carrier lines
// (times in seconds, and the bytes) and the start times of the doubtful bytes.
struct report_lines {
    std::vector<std::array<double, 3>> carriers;
    std::vector<double> doubtful;
};

report_lines read_report(const std::string& err) {
    report_lines r;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind("fskdec: ", 0), 0u) << line;
        unsigned t[6] = {};
        const auto at = [&](int k) { return 60.0 * t[k] + t[k + 1] + t[k + 2] / 1000.0; };
        unsigned bytes = 0;
        if (std::sscanf(line.c_str(), "fskdec: carrier %u:%u.%u-%u:%u.%u: %u byte", &t[0], &t[1],
                        &t[2], &t[3], &t[4], &t[5], &bytes) == 7) {
            r.carriers.push_back({at(0), at(3), static_cast<double>(bytes)});
        } else if (std::sscanf(line.c_str(), "fskdec: doubtful byte at %u:%u.%u", &t[0], &t[1],
                               &t[2]) == 3) {
            r.doubtful.push_back(at(0));
        }
    }
    return r;
}

// Three bursts at known times, silence around them: one carrier line each, the whole burst
// of carrier (its idle leader and trailer too), in both modes, a summary, and the data alone
// on standard output.
TEST_F(EndToEnd, VerboseReportsEachBurst) {
    const byte_vector bursts[] = {payload(20), payload(40), payload(10)};
    const double starts[] = {0.5, 1.2, 2.3};  // seconds
    values recording;
    std::string data;
    for (int b = 0; b < 3; ++b) {
        recording = recording + silence(starts[b] - static_cast<double>(recording.size()) / rate) +
                    burst(bursts[b], 0.66, 0.02);
        data.append(bursts[b].begin(), bursts[b].end());
    }
    write_file(dir + "/bursts.wav", wav16(recording + silence(0.3)));
    for (const bool recover : {false, true}) {
        SCOPED_TRACE(recover ? "-r" : "default");
        const run_result r = run({recover ? "-r" : "-v", "-v", "bursts.wav", "-"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, data);
        const report_lines report = read_report(r.err);
        EXPECT_EQ(report.doubtful.size(), 0u);
        ASSERT_EQ(report.carriers.size(), 3u) << r.err;
        for (int b = 0; b < 3; ++b) {
            const double n = static_cast<double>(bursts[b].size());
            EXPECT_NEAR(report.carriers[b][0], starts[b], 0.01);
            EXPECT_NEAR(report.carriers[b][1], starts[b] + (24 + 11 * n + 12) * bit_seconds, 0.01);
            EXPECT_EQ(report.carriers[b][2], n);
        }
        EXPECT_NE(r.err.find("\nfskdec: 70 bytes in 3 segments (carrier "), std::string::npos);
    }
}

// The x extents of the red marks in a parsed map.
void mark_extents(xmlNode* node, std::vector<std::pair<double, double>>& out) {
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        const auto attribute = [&](const char* name) {
            xmlChar* v = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
            std::string s = v != nullptr ? reinterpret_cast<char*>(v) : "";
            xmlFree(v);
            return s;
        };
        if (attribute("class") == "mark") {
            const double x = std::stod(attribute("x"));
            out.emplace_back(x, x + std::stod(attribute("width")));
        }
        mark_extents(node->children, out);
    }
}

// The noise over the damaged stretch; 0: it is silent.
class Damage : public EndToEnd, public ::testing::WithParamInterface<double> {};

// One burst, damaged from 0.6 s to 0.65 s: a dropout splits the carrier there; strong noise
// leaves the recovery decoder doubtful of the bytes there. Either way the map, written over
// an old file, marks the stretch in red.
TEST_P(Damage, IsReportedWhereItIs) {
    const double from = 0.6;
    const double to = 0.65;
    values v = silence(0.2) + burst(payload(120), 0.66, 0.02) + silence(0.2);
    const bool dropout = GetParam() == 0.0;
    // 60 bits: 50 ms
    const values noise =
        synthesize_values({}, {.amplitude = 0.0, .leader_bits = 60, .noise = GetParam()});
    std::copy(noise.begin(), noise.end(), v.begin() + static_cast<long>(from * rate));
    write_file(dir + "/damaged.wav", wav16(v));
    write_file(dir + "/map.svg", std::string("old"));
    const run_result r = run({dropout ? "-v" : "-r", "-v", "-m", "map.svg", "damaged.wav", "-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});

    const report_lines report = read_report(r.err);
    // A byte may be spoilt by the stretch or while the frame is found again after it: the
    // stretch and two byte times more count.
    const auto overlaps = [&](double start, double end) {
        return start <= to + 22 * bit_seconds && end >= from;
    };
    if (dropout) {
        ASSERT_EQ(report.carriers.size(), 2u) << r.err;
        EXPECT_NEAR(report.carriers[0][1], from, 0.015);
        EXPECT_NEAR(report.carriers[1][0], to, 0.015);
    } else {
        EXPECT_FALSE(report.doubtful.empty()) << r.err;
        EXPECT_NE(r.err.find(" (framing errors or confidence below 0.5), first at "),
                  std::string::npos);
        for (const double t : report.doubtful)
            EXPECT_TRUE(overlaps(t, t + 9 * bit_seconds)) << t;
    }

    const std::string svg = read_file(dir + "/map.svg");
    xmlDoc* doc = xmlReadMemory(svg.data(), static_cast<int>(svg.size()), "map.svg", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    ASSERT_NE(doc, nullptr) << svg.substr(0, 200);
    std::vector<std::pair<double, double>> marks;
    mark_extents(xmlDocGetRootElement(doc), marks);
    xmlFreeDoc(doc);
    ASSERT_FALSE(marks.empty());
    const double per_second = map_plot_width / (static_cast<double>(v.size()) / rate);
    for (const auto& [left, right] : marks) {
        EXPECT_TRUE(overlaps((left - map_plot_left - 2) / per_second,
                             (right - map_plot_left + 2) / per_second))
            << left << "-" << right;
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Damage, ::testing::Values(0.0, 0.8), [](const auto& info) {
    return std::string(info.param == 0.0 ? "DropoutSplitsTheCarrier"
                                         : "NoiseMakesRecoveryDoubtful");
});

}  // namespace
