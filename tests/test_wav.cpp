#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "wav/wav.h"
#include "wav_builder.h"

namespace {

// A file image and what parse_wav must make of it: an error message, or the format and the
// exact bytes it takes as sample data.
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

// The canonical image with its first four bytes overwritten: no longer RIFF WAVE.
byte_vector not_riff(byte_vector file) {
    file[0] = 'X';
    return file;
}

std::vector<header_case> header_cases() {
    const chunk fmt = {"fmt ", fmt_body(mono16)};
    const chunk data = {"data", four};
    const chunk list = {"LIST", list_body};
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
        {"ExtensiblePcm", riff_wave({{"fmt ", fmt_body(with(mono16, 0xFFFE, 1, 16, 2), 40)}, data}),
         "", with(mono16, 0xFFFE, 1, 16, 2), four},
        {"ExtensibleFloat",
         riff_wave({{"fmt ", fmt_body(with(mono16, 0xFFFE, 1, 16, 2), 40, float_guid)}, data}),
         "not PCM"},
        {"ExtensibleWithoutGuid",
         riff_wave({{"fmt ", fmt_body(with(mono16, 0xFFFE, 1, 16, 2), 18)}, data}), "not PCM"},
        {"FirstFmtWins", riff_wave({fmt, {"fmt ", fmt_body(with(mono16, 3, 1, 16, 2))}, data}), "",
         mono16, four},
        {"FirstDataWins", riff_wave({fmt, data, {"data", {9, 9}}}), "", mono16, four},
        // Check order: tag, channels, bits, block align.
        {"Tag3BeforeChannels", canonical_wav(with(mono16, 3, 4, 24, 0), four), "not PCM"},
        {"FourChannelsBeforeBits", canonical_wav(with(mono16, 1, 4, 24, 0), four),
         "the number of channels must be 1 or 2"},
        {"ZeroChannels", canonical_wav(with(mono16, 1, 0, 16, 2), four),
         "the number of channels must be 1 or 2"},
        {"Bits24BeforeBlockAlign", canonical_wav(with(mono16, 1, 1, 24, 0), four),
         "quantization_bit must be 8 or 16"},
        {"BlockAlign0", canonical_wav(with(mono16, 1, 1, 16, 0), four), "illegal block align"},
        {"BlockAlign1At16Bit", canonical_wav(with(mono16, 1, 1, 16, 1), four),
         "illegal block align"},
        {"BlockAlignNegative", canonical_wav(with(mono16, 1, 1, 16, 0xFFFE), four),
         "illegal block align"},
        {"BlockAlign1At8Bit", canonical_wav(mono8, four), "", mono8, four},
        {"WideBlockAlign", canonical_wav(with(mono16, 1, 1, 16, 4), four), "",
         with(mono16, 1, 1, 16, 4), four},
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
        {"NotRiffTag3", not_riff(canonical_wav(with(mono16, 3, 1, 16, 2), four)), "not PCM"},
        {"NotRiffExtensible", not_riff(canonical_wav(with(mono16, 0xFFFE, 1, 16, 2), four)),
         "not PCM"},
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

class WavHeader : public ::testing::TestWithParam<header_case> {};

TEST_P(WavHeader, ParsesOrRejects) {
    const header_case& c = GetParam();
    if (!c.error.empty()) {
        try {
            parse_wav(c.file);
            FAIL() << "accepted; expected \"" << c.error << "\"";
        } catch (const fskdec_error& e) {
            EXPECT_EQ(e.what(), c.error);
        }
        return;
    }
    const wav_layout layout = parse_wav(c.file);
    EXPECT_EQ(layout.format.channels, c.format.channels);
    EXPECT_EQ(layout.format.sample_rate, static_cast<std::int32_t>(c.format.sample_rate));
    EXPECT_EQ(layout.format.block_align, c.format.block_align);
    EXPECT_EQ(layout.format.quantization_bit, c.format.bits);
    ASSERT_EQ(layout.format.data_size, c.data.size());
    ASSERT_LE(layout.data_offset + layout.format.data_size, c.file.size());
    const byte_vector data(
        c.file.begin() + static_cast<std::ptrdiff_t>(layout.data_offset),
        c.file.begin() + static_cast<std::ptrdiff_t>(layout.data_offset + layout.format.data_size));
    EXPECT_EQ(data, c.data);
}

INSTANTIATE_TEST_SUITE_P(Files, WavHeader, ::testing::ValuesIn(header_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(WavHeader, FixedHeaderKeepsDeclaredSize) {
    const byte_vector file = canonical_wav(stereo16, {}, 0xFFFFFFFF);
    const wav_format f = read_wav_header(std::span<const std::uint8_t, 44>(file.data(), 44));
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.sample_rate, 22050);
    EXPECT_EQ(f.block_align, 4);
    EXPECT_EQ(f.quantization_bit, 16);
    EXPECT_EQ(f.data_size, 0xFFFFFFFFu);
}

TEST(WavReaders, LittleEndian) {
    const struct {
        std::uint8_t bytes[4];
        std::int16_t s16;
        std::uint32_t u32;
    } cases[] = {
        {{0x00, 0x00, 0x00, 0x00}, 0, 0},
        {{0x01, 0x00, 0x00, 0x00}, 1, 1},
        {{0x34, 0x12, 0x78, 0x56}, 0x1234, 0x56781234u},
        {{0xFF, 0x7F, 0x00, 0x00}, 32767, 0x7FFFu},
        {{0x00, 0x80, 0x00, 0x80}, -32768, 0x80008000u},
        {{0xFF, 0xFF, 0xFF, 0xFF}, -1, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        const std::uint8_t* p = c.bytes;
        EXPECT_EQ(read_s16le(p), c.s16);
        EXPECT_EQ(p, c.bytes + 2);
        p = c.bytes;
        EXPECT_EQ(read_u32le(p), c.u32);
        EXPECT_EQ(p, c.bytes + 4);
    }
}

TEST(WavSamples, EncodingsAndFirstChannel) {
    const struct {
        const char* name;
        wav_format format;
        byte_vector data;
        std::vector<int> samples;
    } cases[] = {
        {"8-bit mono", {1, 8000, 1, 8, 4}, {0x80, 0x00, 0xFF, 0x7F}, {0, -128, 127, -1}},
        {"16-bit mono",
         {1, 8000, 2, 16, 8},
         {0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF, 0x01, 0x00},
         {-32768, 32767, -1, 1}},
        {"8-bit stereo", {2, 8000, 2, 8, 4}, {0x00, 0xFF, 0xFF, 0x00}, {-128, 127}},
        {"16-bit stereo",
         {2, 8000, 4, 16, 8},
         {0x00, 0x80, 0xFF, 0x7F, 0x02, 0x00, 0x00, 0x80},
         {-32768, 2}},
        {"16-bit wide frame", {1, 8000, 6, 16, 12}, {1, 0, 9, 9, 9, 9, 2, 0, 9, 9, 9, 9}, {1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint8_t* cursor = c.data.data();
        std::vector<int> got;
        while (cursor < c.data.data() + c.data.size())
            got.push_back(read_sample(cursor, c.format));
        EXPECT_EQ(got, c.samples);
        EXPECT_EQ(cursor, c.data.data() + c.data.size());
    }
}

class WavFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fskdec_wav_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const std::string& name, const byte_vector& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static std::string failure(const std::string& path) {
        try {
            load_wav(path);
        } catch (const fskdec_error& e) {
            return e.what();
        }
        return "(accepted)";
    }
    std::string dir;
};

TEST_F(WavFiles, LoadsOnlyTheSampleData) {
    const byte_vector samples = s16_samples({1, -1, 300, -32768, 5});
    const wav_file w = load_wav(write("a.wav", riff_wave({{"LIST", list_body},
                                                          {"fmt ", fmt_body(stereo16, 18)},
                                                          {"data", samples, 0xFFFFFFFF}})));
    EXPECT_EQ(w.format.channels, 2);
    EXPECT_EQ(w.format.block_align, 4);
    EXPECT_EQ(w.format.data_size, 8u);
    EXPECT_EQ(byte_vector(w.data.begin(), w.data.end()),
              byte_vector(samples.begin(), samples.begin() + 8));
}

TEST_F(WavFiles, LoadsTheFixedLayout) {
    const wav_file w = load_wav(write("b.wav", not_riff(canonical_wav(mono8, four))));
    EXPECT_EQ(w.format.quantization_bit, 8);
    EXPECT_EQ(byte_vector(w.data.begin(), w.data.end()), four);
}

TEST_F(WavFiles, Failures) {
    EXPECT_EQ(failure(dir + "/missing.wav"), "cannot open " + dir + "/missing.wav");
    EXPECT_EQ(failure(dir), "cannot open " + dir);
    EXPECT_EQ(failure(write("short.wav", {'R', 'I', 'F', 'F'})), "not a WAV file");
    EXPECT_EQ(failure(write("zero.wav", canonical_wav(mono16, four, 0))), "cannot allocate memory");
}

}  // namespace
