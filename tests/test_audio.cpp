#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/input.h"
#include "audio/wav_writer.h"
#include "base/error.h"
#include "wav_builder.h"

namespace {

using samples = std::vector<double>;

// What reading a whole input gave: its failure, or its format and every sample.
struct outcome {
    std::string error;
    audio_format format;
    samples values;
};

outcome drain(const std::function<std::unique_ptr<sample_source>()>& open,
              std::size_t piece = 4096) {
    outcome r;
    try {
        auto source = open();
        r.format = source->format();
        samples buffer(piece);
        while (std::size_t frames = source->read(buffer)) {
            const auto n = frames * static_cast<std::size_t>(r.format.channels);
            r.values.insert(r.values.end(), buffer.begin(),
                            buffer.begin() + static_cast<std::ptrdiff_t>(n));
        }
    } catch (const fskdec_error& e) {
        r.error = e.what();
    }
    return r;
}

enum class transport { memory, file, pipe };

// A unique temporary directory per test, removed afterwards.
class temp_dir {
  public:
    temp_dir() {
        char tmpl[] = "/tmp/fskdec_audio_XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path = tmpl;
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
    std::string write(const std::string& name, const byte_vector& bytes) const {
        const std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    std::string path;
};

// Reads `image` whole through `how`; a pipe is a FIFO fed by a thread.
outcome read_via(transport how, const byte_vector& image, std::size_t piece = 4096,
                 std::function<void()> before_block = {}) {
    if (how == transport::memory) return drain([&] { return memory_audio(image); }, piece);
    temp_dir dir;
    if (how == transport::file) {
        const std::string p = dir.write("in.wav", image);
        return drain([&] { return open_audio(p); }, piece);
    }
    std::signal(SIGPIPE, SIG_IGN);  // the reader may stop early
    const std::string fifo = dir.path + "/fifo";
    mkfifo(fifo.c_str(), 0600);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (std::size_t at = 0; at < image.size();) {
            const ssize_t n = write(fd, image.data() + at, image.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    outcome r = drain([&] { return open_audio(fifo, before_block); }, piece);
    writer.join();
    return r;
}

std::string transport_name(transport t) {
    return t == transport::memory ? "Memory" : t == transport::file ? "File" : "Pipe";
}

// The values of 8- or 16-bit data as a plain reading of the format gives them.
samples expected_values(const fmt_fields& f, const byte_vector& data) {
    samples out;
    const std::size_t width = f.bits / 8;
    for (std::size_t at = 0; at + f.block_align <= data.size(); at += f.block_align) {
        for (std::size_t c = 0; c < f.channels; ++c) {
            const std::size_t p = at + c * width;
            if ((c + 1) * width > f.block_align) {
                out.push_back(0.0);
            } else if (width == 1) {
                out.push_back(data[p] - 128.0);
            } else {
                out.push_back(static_cast<std::int16_t>(data[p] | (data[p + 1] << 8)));
            }
        }
    }
    return out;
}

struct header_case {
    std::string name;
    byte_vector file;
    std::string error;  // empty: the file is accepted
    fmt_fields format = {};
    byte_vector data = {};
};

const fmt_fields mono16;
const fmt_fields mono8 = {1, 1, 8000, 1, 8};
const fmt_fields stereo16 = {1, 2, 22050, 4, 16};
const byte_vector four = {1, 2, 3, 4};
const byte_vector list_body = {'I', 'N', 'F', 'O', 'a', 'b'};

fmt_fields with(fmt_fields f, std::uint16_t tag, std::uint16_t channels, std::uint16_t bits,
                std::uint16_t block_align) {
    f.tag = tag;
    f.channels = channels;
    f.bits = bits;
    f.block_align = block_align;
    return f;
}

byte_vector not_riff(byte_vector file) {
    file[0] = 'X';
    return file;
}

std::vector<header_case> header_cases() {
    const chunk fmt = {"fmt ", fmt_body(mono16)};
    const chunk data = {"data", four};
    const chunk list = {"LIST", list_body};
    const fmt_fields ext16 = with(mono16, 0xFFFE, 1, 16, 2);
    return {
        {"Canonical", canonical_wav(mono16, four), "", mono16, four},
        {"Canonical8BitStereo",
         canonical_wav({1, 2, 8000, 2, 8}, four),
         "",
         {1, 2, 8000, 2, 8},
         four},
        {"ListBeforeFmt", riff_wave({list, fmt, data}), "", mono16, four},
        {"ListBeforeData", riff_wave({fmt, list, data}), "", mono16, four},
        {"FmtAfterData", riff_wave({data, list, fmt}), "", mono16, four},
        {"Fmt18", riff_wave({{"fmt ", fmt_body(mono16, 18)}, data}), "", mono16, four},
        {"Fmt40Pcm", riff_wave({{"fmt ", fmt_body(mono16, 40)}, data}), "", mono16, four},
        {"ExtensiblePcm", riff_wave({{"fmt ", fmt_body(ext16, 40)}, data}), "", ext16, four},
        {"ExtensibleFloat16", riff_wave({{"fmt ", fmt_body(ext16, 40, float_guid)}, data}),
         "floating-point samples must be 32 or 64 bits"},
        {"ExtensibleWithoutGuid", riff_wave({{"fmt ", fmt_body(ext16, 18)}, data}), "not PCM"},
        {"FirstFmtWins", riff_wave({fmt, {"fmt ", fmt_body(with(mono16, 3, 1, 16, 2))}, data}), "",
         mono16, four},
        {"FirstDataWins", riff_wave({fmt, data, {"data", {9, 9}}}), "", mono16, four},
        // Check order: tag, channels, bits, block align.
        {"Tag2BeforeChannels", canonical_wav(with(mono16, 2, 4, 12, 0), four), "not PCM"},
        {"FourChannelsBeforeBits", canonical_wav(with(mono16, 1, 4, 12, 0), four),
         "the number of channels must be 1 or 2"},
        {"ZeroChannels", canonical_wav(with(mono16, 1, 0, 16, 2), four),
         "the number of channels must be 1 or 2"},
        {"Bits12BeforeBlockAlign", canonical_wav(with(mono16, 1, 1, 12, 0), four),
         "quantization_bit must be 8, 16, 24 or 32"},
        {"Float16BeforeBlockAlign", canonical_wav(with(mono16, 3, 1, 16, 0), four),
         "floating-point samples must be 32 or 64 bits"},
        {"BlockAlign0", canonical_wav(with(mono16, 1, 1, 16, 0), four), "illegal block align"},
        {"BlockAlign1At16Bit", canonical_wav(with(mono16, 1, 1, 16, 1), four),
         "illegal block align"},
        {"BlockAlignNegative", canonical_wav(with(mono16, 1, 1, 16, 0xFFFE), four),
         "illegal block align"},
        {"BlockAlign1At8Bit", canonical_wav(mono8, four), "", mono8, four},
        {"WideBlockAlign", canonical_wav(with(mono16, 1, 1, 16, 4), four), "",
         with(mono16, 1, 1, 16, 4), four},
        {"NarrowStereoFrame", canonical_wav(with(mono16, 1, 2, 16, 2), four), "",
         with(mono16, 1, 2, 16, 2), four},
        // Declared data sizes.
        {"DeclaredZero", canonical_wav(mono16, four, 0), "cannot allocate memory"},
        {"NoDataBytes", canonical_wav(mono16, {}, 4), "cannot allocate memory"},
        {"DeclaredLarger", canonical_wav(mono16, four, 100), "", mono16, four},
        {"DeclaredMax", canonical_wav(mono16, four, 0xFFFFFFFF), "", mono16, four},
        {"DeclaredSmaller", canonical_wav(mono16, four, 2), "", mono16, {1, 2}},
        {"PartialFrameDropped", canonical_wav(stereo16, {1, 2, 3, 4, 5, 6}), "", stereo16, four},
        {"NoWholeFrame", canonical_wav(stereo16, {1, 2, 3}), "", stereo16, {}},
        {"OddChunksPadded",
         riff_wave({{"LIST", {7, 7, 7}}, {"data", {1, 2, 3}}, {"fmt ", fmt_body(mono8)}}),
         "",
         mono8,
         {1, 2, 3}},
        // Chunks running past the end of the file.
        {"ListRunsPastEnd", riff_wave({{"LIST", list_body, 1000}, fmt, data}), "not a WAV file"},
        {"ListRunsPastEndAfterData", riff_wave({fmt, data, {"LIST", list_body, 1000}}), "", mono16,
         four},
        {"FmtAfterTruncatedData", riff_wave({{"data", four, 100}, fmt}), "not a WAV file"},
        // Missing or unusable chunks.
        {"NoFmt", riff_wave({data}), "not a WAV file"},
        {"NoData", riff_wave({fmt, list}), "not a WAV file"},
        {"Fmt14", riff_wave({{"fmt ", fmt_body(mono16, 14)}, data}), "not a WAV file"},
        {"FmtCutShort",
         [&] {
             byte_vector f = riff_wave({data, fmt});
             f.pop_back();
             return f;
         }(),
         "not a WAV file"},
        {"RiffOnly", riff_wave({}), "not a WAV file"},
        {"ShortRiff", riff_wave({fmt}), "not a WAV file"},
        {"ShortNotRiff", byte_vector(43, 0), "not a WAV file"},
        {"Empty", byte_vector{}, "not a WAV file"},
        // Not RIFF WAVE: the fixed 44-byte layout, chunk ids unexamined.
        {"NotRiffCanonical", not_riff(canonical_wav(mono16, four)), "", mono16, four},
        {"NotRiffDeclaredLarger", not_riff(canonical_wav(mono16, four, 0xFFFFFFFF)), "", mono16,
         four},
        {"NotRiffDeclaredZero", not_riff(canonical_wav(mono16, four, 0)), "cannot allocate memory"},
        {"NotRiffHeaderOnly", not_riff(canonical_wav(mono16, {}, 4)), "cannot allocate memory"},
        {"NotRiffFloat16", not_riff(canonical_wav(with(mono16, 3, 1, 16, 2), four)),
         "floating-point samples must be 32 or 64 bits"},
        {"NotRiffExtensible", not_riff(canonical_wav(ext16, four)), "not PCM"},
        {"RiffWithoutWave",
         [] {
             byte_vector f = canonical_wav(mono16, four);
             f[8] = 'X';
             return f;
         }(),
         "", mono16, four},
        {"WriterHeader",
         [] {
             byte_vector f = make_wav_header(2, 22050, 16, 4);
             f.insert(f.end(), four.begin(), four.end());
             return f;
         }(),
         "", stereo16, four},
    };
}

class AudioHeader : public ::testing::TestWithParam<std::tuple<header_case, transport>> {};

TEST_P(AudioHeader, ReadsOrRejects) {
    const auto& [c, how] = GetParam();
    const outcome r = read_via(how, c.file);
    EXPECT_EQ(r.error, c.error);
    if (!c.error.empty()) return;
    EXPECT_EQ(r.format.channels, c.format.channels);
    EXPECT_EQ(r.format.sample_rate, static_cast<std::int32_t>(c.format.sample_rate));
    EXPECT_EQ(r.format.full_scale, c.format.bits == 8 ? 128.0 : 32768.0);
    EXPECT_EQ(r.values, expected_values(c.format, c.data));
}

INSTANTIATE_TEST_SUITE_P(Files, AudioHeader,
                         ::testing::Combine(::testing::ValuesIn(header_cases()),
                                            ::testing::Values(transport::memory, transport::file,
                                                              transport::pipe)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "From" +
                                    transport_name(std::get<1>(info.param));
                         });

// One sample format at its extremes: the data bytes and the values they must give.
struct encoding_case {
    std::string name;
    byte_vector file;
    samples values;
    double full_scale;
};

void put_le(byte_vector& out, std::uint64_t v, int n) {
    for (int k = 0; k < n; ++k)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// A file of `values` (integers, or float bit patterns) at `width` bytes each; WAVE_FORMAT_
// EXTENSIBLE when `tag` is 0xFFFE, with `guid`.
encoding_case encoded(std::string name, fmt_fields f, std::vector<std::uint64_t> values, int width,
                      samples expected, const std::array<std::uint8_t, 16>& guid = pcm_guid) {
    byte_vector data;
    for (std::uint64_t v : values)
        put_le(data, v, width);
    const bool is_float = f.tag == 3 || guid == float_guid;
    const std::size_t fmt_size = f.tag == 0xFFFE ? 40 : 16;
    return {std::move(name), riff_wave({{"fmt ", fmt_body(f, fmt_size, guid)}, {"data", data}}),
            std::move(expected), is_float ? 1.0 : std::ldexp(1.0, f.bits - 1)};
}

std::vector<encoding_case> encoding_cases() {
    const auto f32 = [](float v) { return std::uint64_t{std::bit_cast<std::uint32_t>(v)}; };
    const auto f64 = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    const double inf = std::numeric_limits<double>::infinity();
    return {
        encoded("U8", mono8, {0x00, 0x80, 0xFF, 0x7F}, 1, {-128, 0, 127, -1}),
        encoded("S16", mono16, {0x8000, 0x7FFF, 0xFFFF, 1}, 2, {-32768, 32767, -1, 1}),
        encoded("S24", {1, 1, 8000, 3, 24}, {0x800000, 0x7FFFFF, 0xFFFFFF}, 3,
                {-8388608, 8388607, -1}),
        encoded("S32", {1, 1, 8000, 4, 32}, {0x80000000, 0x7FFFFFFF, 0xFFFFFFFF}, 4,
                {-2147483648.0, 2147483647.0, -1}),
        encoded("F32", {3, 1, 8000, 4, 32},
                {f32(1.0f), f32(-0.5f), f32(std::nanf("")), f32(-HUGE_VALF), f32(1e-40f)}, 4,
                {1.0, -0.5, 0.0, 0.0, static_cast<double>(1e-40f)}),
        encoded("F64", {3, 1, 8000, 8, 64}, {f64(0.25), f64(-1e300), f64(inf)}, 8,
                {0.25, -1e300, 0.0}),
        encoded("ExtensibleS24", {0xFFFE, 1, 8000, 3, 24}, {0x800000}, 3, {-8388608}),
        encoded("ExtensibleF32", {0xFFFE, 1, 8000, 4, 32}, {f32(-0.75f)}, 4, {-0.75}, float_guid),
        // Frames of 8 bytes: each channel at its own place, the rest unread.
        encoded("StereoS24WideFrame", {1, 2, 8000, 8, 24}, {0x000001, 0xFFFFFE, 0x9999}, 3,
                {1, -2}),
    };
}

class AudioEncoding : public ::testing::TestWithParam<encoding_case> {};

TEST_P(AudioEncoding, GivesTheSampleValues) {
    const outcome r = read_via(transport::memory, GetParam().file);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.format.full_scale, GetParam().full_scale);
    EXPECT_EQ(r.values, GetParam().values);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioEncoding, ::testing::ValuesIn(encoding_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(AudioEncoding, UnknownSubformatIsNotPcm) {
    std::array<std::uint8_t, 16> guid = pcm_guid;
    guid[0] = 2;
    EXPECT_EQ(
        read_via(transport::memory, encoded("", {0xFFFE, 1, 8000, 2, 16}, {1}, 2, {}, guid).file)
            .error,
        "not PCM");
}

// A stereo 16-bit recording long enough to cross many 64 KiB pieces.
std::vector<int> long_samples() {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> value(-32768, 32767);
    std::vector<int> s(150001);
    for (int& v : s)
        v = value(random);
    s[0] = -32768;
    s[1] = 32767;
    return s;
}

// The same samples at other widths: a power-of-two scale, so value / full_scale agrees exactly.
TEST(AudioScaling, WidthsAgreeAfterFullScale) {
    const std::vector<int> s = long_samples();
    const struct {
        fmt_fields format;
        std::function<std::uint64_t(int)> value;
    } widths[] = {
        {{1, 2, 22050, 6, 24}, [](int v) { return static_cast<std::uint32_t>(v) << 8; }},
        {{1, 2, 22050, 8, 32}, [](int v) { return static_cast<std::uint32_t>(v) << 16; }},
        {{3, 2, 22050, 8, 32},
         [](int v) { return std::bit_cast<std::uint32_t>(static_cast<float>(v) / 32768.0f); }},
        {{3, 2, 22050, 16, 64}, [](int v) { return std::bit_cast<std::uint64_t>(v / 32768.0); }},
    };
    const outcome base = read_via(transport::memory, canonical_wav(stereo16, s16_samples(s)));
    for (const auto& w : widths) {
        SCOPED_TRACE(w.format.block_align);
        byte_vector data;
        for (int v : s)
            put_le(data, w.value(v), w.format.bits / 8);
        const outcome r = read_via(transport::memory, canonical_wav(w.format, data));
        ASSERT_EQ(r.values.size(), base.values.size());
        for (std::size_t k = 0; k < r.values.size(); ++k) {
            ASSERT_EQ(r.values[k] / r.format.full_scale, base.values[k] / base.format.full_scale)
                << k;
        }
    }
}

class AudioPieces : public ::testing::TestWithParam<transport> {};

// Whatever the read sizes, the samples are the same: those of a one-piece read. The data
// comes before fmt, so a file seeks back to it and a pipe holds it.
TEST_P(AudioPieces, ReadSizesDoNotMatter) {
    const std::vector<int> s = long_samples();
    const byte_vector image =
        riff_wave({{"LIST", list_body}, {"data", s16_samples(s)}, {"fmt ", fmt_body(stereo16)}});
    const outcome whole = read_via(transport::memory, image, s.size());
    ASSERT_EQ(whole.values.size(), s.size() - 1);  // the odd sample is a partial frame
    EXPECT_EQ(whole.values.front(), -32768.0);
    EXPECT_EQ(whole.values.back(), s[s.size() - 2]);
    for (std::size_t piece : {2, 3, 5, 4095, 65536, 99999}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(read_via(GetParam(), image, piece).values, whole.values);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, AudioPieces,
                         ::testing::Values(transport::memory, transport::file, transport::pipe),
                         [](const auto& info) { return transport_name(info.param); });

// A stream whose data comes before fmt has that data held, up to 16 MiB; more is refused.
TEST(AudioPipe, DataBeforeFmtHeldUpTo16MiB) {
    constexpr std::size_t limit = std::size_t{16} << 20;
    for (const std::size_t size : {limit, limit + 2}) {
        byte_vector image = riff_wave({{"data", byte_vector(size, 0)}, {"fmt ", fmt_body(mono16)}});
        const outcome r = read_via(transport::pipe, image, 1 << 16);
        EXPECT_EQ(r.error, size > limit ? "data before the fmt chunk exceeds 16 MiB" : "") << size;
        EXPECT_EQ(r.values.size(), size > limit ? 0 : size / 2);
    }
}

TEST(AudioPipe, CallsBeforeBlockWhenNothingIsReady) {
    const byte_vector image = canonical_wav(mono16, s16_samples({1, 2, 3, 4}));
    temp_dir dir;
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::mutex m;
    std::condition_variable cv;
    bool blocked = false;
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        EXPECT_EQ(write(fd, image.data(), 46), 46);  // the header and one sample
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return blocked; });
        EXPECT_EQ(write(fd, image.data() + 46, image.size() - 46),
                  static_cast<ssize_t>(image.size() - 46));
        close(fd);
    });
    const outcome r = drain([&] {
        return open_audio(fifo, [&] {
            std::lock_guard lock(m);
            blocked = true;
            cv.notify_one();
        });
    });
    writer.join();
    EXPECT_TRUE(blocked);
    EXPECT_EQ(r.values, (samples{1, 2, 3, 4}));
}

TEST(AudioDevices, FailAtOnce) {
    EXPECT_EQ(drain([] { return open_audio("/dev/zero"); }).error, "not PCM");
    EXPECT_NE(drain([] { return open_audio("/dev/urandom"); }).error, "");
}

TEST(AudioFiles, OpenFailuresAndIdentity) {
    temp_dir dir;
    EXPECT_EQ(drain([&] { return open_audio(dir.path + "/missing.wav"); }).error,
              "cannot open " + dir.path + "/missing.wav");
    EXPECT_EQ(drain([&] { return open_audio(dir.path); }).error, "cannot open " + dir.path);
    const std::string p = dir.write("a.wav", canonical_wav(mono16, four));
    struct stat info {};
    ASSERT_EQ(stat(p.c_str(), &info), 0);
    const input_identity id = open_audio(p)->identity();
    EXPECT_TRUE(id.known);
    EXPECT_EQ(id.device, static_cast<std::uint64_t>(info.st_dev));
    EXPECT_EQ(id.inode, static_cast<std::uint64_t>(info.st_ino));
    EXPECT_FALSE(memory_audio(canonical_wav(mono16, four))->identity().known);
}

// Writes 16-bit samples in another container with libsndfile.
byte_vector sndfile_image(const temp_dir& dir, int format, int channels,
                          const std::vector<short>& s) {
    const std::string p = dir.path + "/c";
    SF_INFO info{};
    info.samplerate = 22050;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(p.c_str(), SFM_WRITE, &info);
    if (f == nullptr) return {};
    sf_writef_short(f, s.data(), static_cast<sf_count_t>(s.size()) / channels);
    sf_close(f);
    std::ifstream in(p, std::ios::binary);
    return byte_vector(std::istreambuf_iterator<char>(in), {});
}

struct container_case {
    std::string name;
    int format;
};

class AudioContainer : public ::testing::TestWithParam<container_case> {};

TEST_P(AudioContainer, DecodesLikeTheWav) {
    temp_dir dir;
    std::vector<short> s;
    for (int v : long_samples())
        s.push_back(static_cast<short>(v));
    s.pop_back();
    const outcome wav =
        read_via(transport::memory, canonical_wav(stereo16, s16_samples({s.begin(), s.end()})));
    const byte_vector image = sndfile_image(dir, GetParam().format, 2, s);
    ASSERT_FALSE(image.empty());
    for (transport how : {transport::memory, transport::file, transport::pipe}) {
        SCOPED_TRACE(transport_name(how));
        const outcome r = read_via(how, image, 1000);
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.format.channels, 2);
        EXPECT_EQ(r.format.sample_rate, 22050);
        EXPECT_EQ(r.format.full_scale, 1.0);
        ASSERT_EQ(r.values.size(), wav.values.size());
        for (std::size_t k = 0; k < r.values.size(); ++k)
            ASSERT_EQ(r.values[k], wav.values[k] / wav.format.full_scale) << k;
    }
}

TEST_P(AudioContainer, RejectsThreeChannels) {
    temp_dir dir;
    EXPECT_EQ(
        read_via(transport::memory, sndfile_image(dir, GetParam().format, 3, {1, 2, 3})).error,
        "the number of channels must be 1 or 2");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioContainer,
    ::testing::Values(container_case{"Flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                      container_case{"Aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16}),
    [](const auto& info) { return info.param.name; });

// libsndfile writes no FLAC stream without frames; an empty AIFF it does write.
TEST(AudioContainer, NoFramesIsLikeAnEmptyWav) {
    temp_dir dir;
    EXPECT_EQ(
        read_via(transport::memory, sndfile_image(dir, SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, {}))
            .error,
        "cannot allocate memory");
}

TEST(AudioContainer, UnreadableIsAReadError) {
    EXPECT_EQ(read_via(transport::memory, {'f', 'L', 'a', 'C', 0, 0}).error,
              "cannot read (memory)");
}

TEST(WavWriter, QuantisesAsTheSynthesizer) {
    byte_vector out;
    append_pcm(samples{-2.0, -1.0, 0.0, 0.5, 1.0}, 8, out);
    EXPECT_EQ(out, (byte_vector{0, 1, 128, 192, 255}));
    out.clear();
    append_pcm(samples{-2.0, -1.0, 0.0, 1.0 / 32767, 1.0}, 16, out);
    EXPECT_EQ(out, (byte_vector{0x00, 0x80, 0x01, 0x80, 0, 0, 1, 0, 0xFF, 0x7F}));
}

}  // namespace
