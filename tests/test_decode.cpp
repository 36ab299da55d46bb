// Decoding end to end: synthesized recordings go through the framing, with the plain
// detector and with the default one, and a few through the executable; every byte sent
// must come back exactly, and nothing else.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/options.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "pcm_samples.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The synthesizer's sample data, as bytes so that it can be cut anywhere, and its layout.
struct recording {
    audio_format format;
    pcm_layout pcm;
    bytes data;
};

recording record(const bytes& payload, const synth_settings& signal) {
    return {
        pcm_format(signal.channels, signal.sample_rate, signal.quantization_bit),
        {signal.channels, signal.quantization_bit, signal.channels * signal.quantization_bit / 8},
        synthesize_samples(payload, signal)};
}

bytes decode(const recording& r, const decoder_settings& settings, bool plain,
             std::size_t read_limit = 0) {
    const demod_config config =
        make_demod_config(r.format, settings.signal, settings.threshold_ratio);
    return decode_values(r.format, pcm_values(r.data, r.pcm), config, plain, settings.channel - 1,
                         read_limit);
}

// Random bytes with the four patterns that exercise every bit both ways.
bytes payload(std::size_t length, unsigned seed) {
    std::mt19937 gen(seed);
    bytes b{0x00, 0xFF, 0x55, 0xAA};
    while (b.size() < length)
        b.push_back(static_cast<std::uint8_t>(gen() >> 24));
    std::shuffle(b.begin(), b.end(), gen);
    return b;
}

decoder_settings settings_for(const synth_settings& s, std::int32_t phase_sign = 1) {
    decoder_settings settings;
    settings.signal = {s.baud_rate, s.lower_tone, phase_sign};
    return settings;
}

// Both detectors must give `want` exactly.
void expect_decodes(const recording& r, const decoder_settings& settings, const bytes& want) {
    EXPECT_EQ(decode(r, settings, false), want) << "decode_bytes";
    EXPECT_EQ(decode(r, settings, true), want) << "decode_bytes_plain";
}

struct format_row {
    std::int32_t sample_rate, bits, channels;
    std::int32_t leader, gap, trailer;
};

synth_settings signal_for(const format_row& f) {
    synth_settings s;
    s.sample_rate = f.sample_rate;
    s.quantization_bit = f.bits;
    s.channels = f.channels;
    s.leader_bits = f.leader;
    s.gap_bits = f.gap;
    s.trailer_bits = f.trailer;
    return s;
}

TEST(Decode, RandomPayloadsInEveryFormat) {
    const format_row rows[] = {
        {43200, 16, 1, 0, 0, 2}, {43200, 8, 2, 3, 20, 0}, {44100, 16, 1, 5, 1, 5},
        {44100, 8, 2, 1, 3, 1},  {48000, 8, 1, 20, 0, 3}, {48000, 16, 2, 2, 2, 2},
        {96000, 16, 1, 3, 0, 2}, {96000, 8, 2, 1, 5, 1},
    };
    unsigned seed = 1;
    for (const format_row& row : rows) {
        const synth_settings s = signal_for(row);
        const bytes sent = payload(row.sample_rate > 50000 ? 12 : 24, seed++);
        SCOPED_TRACE(testing::Message() << row.sample_rate << " Hz " << row.bits << "-bit "
                                        << row.channels << " ch, gap " << row.gap);
        expect_decodes(record(sent, s), settings_for(s), sent);
    }
}

TEST(Decode, AnyIdleGapBetweenBytes) {
    for (std::int32_t gap : {0, 1, 2, 7, 60}) {
        synth_settings s;
        s.leader_bits = gap;
        s.gap_bits = gap;
        s.trailer_bits = gap + 1;
        const bytes sent{0x41, 0x00, 0xFF, 0x80, 0x01};
        SCOPED_TRACE(gap);
        expect_decodes(record(sent, s), settings_for(s), sent);
    }
}

TEST(Decode, LongPayload) {
    synth_settings s;
    s.gap_bits = 1;
    s.trailer_bits = 1;
    const bytes sent = payload(300, 99);
    EXPECT_EQ(decode(record(sent, s), settings_for(s), false), sent);
}

// The tone's phase at every bit boundary decides whether the signal needs reversing:
// a window is accepted between a falling zero crossing and the following trough.
TEST(Decode, PhaseAtTheBitBoundary) {
    struct row {
        double phase_degrees;
        std::int32_t phase_sign;
        bool exact;
    };
    const row rows[] = {
        {0, 1, true},  {-90, -1, true}, {-90, 1, false},
        {90, 1, true}, {90, -1, false}, {180, -1, true},
    };
    for (const row& r : rows) {
        synth_settings s;
        s.sample_rate = 48000;
        s.phase_degrees = r.phase_degrees;
        s.leader_bits = 2;
        s.gap_bits = 1;
        s.trailer_bits = 2;
        const bytes sent = payload(16, 7);
        const recording rec = record(sent, s);
        SCOPED_TRACE(testing::Message() << r.phase_degrees << " degrees, sign " << r.phase_sign);
        if (r.exact) {
            expect_decodes(rec, settings_for(s, r.phase_sign), sent);
        } else {
            EXPECT_NE(decode(rec, settings_for(s, r.phase_sign), false), sent);
            EXPECT_NE(decode(rec, settings_for(s, r.phase_sign), true), sent);
        }
    }
}

TEST(Decode, OtherBaudRatesAndTones) {
    struct row {
        std::int32_t baud, lower, sample_rate, bits;
    };
    const row rows[] = {
        {600, 1200, 43200, 16}, {600, 1200, 28800, 8},   {300, 1200, 14400, 16},
        {300, 600, 9600, 8},    {2400, 2400, 48000, 16}, {1200, 2400, 48000, 16},
    };
    for (const row& r : rows) {
        synth_settings s;
        s.baud_rate = r.baud;
        s.lower_tone = r.lower;
        s.sample_rate = r.sample_rate;
        s.quantization_bit = r.bits;
        s.leader_bits = 2;
        s.gap_bits = 1;
        s.trailer_bits = 2;
        const bytes sent = payload(12, static_cast<unsigned>(r.baud + r.lower));
        SCOPED_TRACE(testing::Message()
                     << r.baud << " baud, " << r.lower << " Hz at " << r.sample_rate);
        expect_decodes(record(sent, s), settings_for(s), sent);
    }
}

// Data that ends inside the second byte, at the end of a data bit that is 0: the call for
// that bit reaches the end and yields 0 whether or not it accepted a window. After k + 1
// calls the bits sent, 0 .. k, sit in bits 7 - k .. 7 of the byte written.
TEST(Decode, DataEndingInsideAByte) {
    struct row {
        std::uint8_t byte;
        int last_bit;  // the data ends with this data bit, a 0
        std::uint8_t written;
    };
    const row rows[] = {
        {0x41, 1, 0x40}, {0x41, 5, 0x04}, {0x41, 7, 0x41}, {0xFE, 0, 0x00},
        {0xB6, 3, 0x60}, {0x5F, 5, 0x7C}, {0x7F, 7, 0x7F},
    };
    const format_row formats[] = {
        {44100, 16, 1, 3, 1, 0}, {43200, 8, 2, 0, 2, 0}, {48000, 16, 2, 1, 0, 0}};
    for (const format_row& f : formats) {
        for (const row& r : rows) {
            ASSERT_EQ((r.byte >> r.last_bit) & 1, 0);
            const synth_settings s = signal_for(f);
            recording rec = record({0x5A, r.byte}, s);
            // Bit times before the second byte's start bit, then through bit last_bit.
            const std::uint64_t bits = static_cast<std::uint64_t>(f.leader + 9 + f.gap) + 2 +
                                       static_cast<std::uint64_t>(r.last_bit);
            rec.data.resize(synth_frames(s, bits) * static_cast<std::size_t>(rec.pcm.block_align));
            SCOPED_TRACE(testing::Message() << f.sample_rate << " Hz, byte " << int{r.byte}
                                            << " ends after bit " << r.last_bit);
            expect_decodes(rec, settings_for(s), {0x5A, r.written});
        }
        // Cut at the end of the start bit, or inside the idle before it: nothing more.
        synth_settings s = signal_for(f);
        s.gap_bits = f.gap + 1;
        const auto before_start = static_cast<std::uint64_t>(f.leader + 9 + s.gap_bits);
        for (std::uint64_t bits : {before_start + 1, before_start - 1}) {
            recording rec = record({0x5A, 0x00}, s);
            rec.data.resize(synth_frames(s, bits) * static_cast<std::size_t>(rec.pcm.block_align));
            expect_decodes(rec, settings_for(s), {0x5A});
        }
    }
}

TEST(Decode, SilenceOrIdleToneGivesNothing) {
    for (std::int32_t channels : {1, 2}) {
        for (std::int32_t bits : {8, 16}) {
            synth_settings s;
            s.quantization_bit = bits;
            s.channels = channels;
            s.leader_bits = 40;
            const recording idle = record({}, s);
            recording silence = idle;
            s.amplitude = 0.0;
            silence.data = record({}, s).data;
            expect_decodes(idle, settings_for(s), {});
            expect_decodes(silence, settings_for(s), {});
        }
    }
}

TEST(Decode, NoisySignals) {
    struct row {
        double noise;  // standard deviation as a fraction of full scale; the peak is 0.66
        std::int32_t bits;
        std::uint64_t seed;
    };
    for (row r : {row{0.05, 16, 1}, row{0.1, 16, 2}, row{0.1, 8, 3}, row{0.15, 16, 4}}) {
        synth_settings s;
        s.noise = r.noise;
        s.seed = r.seed;
        s.quantization_bit = r.bits;
        s.leader_bits = 3;
        s.gap_bits = 1;
        s.trailer_bits = 3;
        const bytes sent = payload(16, static_cast<unsigned>(r.seed));
        SCOPED_TRACE(testing::Message() << "noise " << r.noise << " seed " << r.seed);
        expect_decodes(record(sent, s), settings_for(s), sent);
    }
}

// The source may hand the samples out in pieces of any size, so that a piece ends anywhere
// inside a window or behind a step back, and the ring of recent frames wraps:
// both detectors give the bytes of unlimited reads, from either channel.
TEST(Decode, PiecesOfAnySizeDecodeAsOneRead) {
    struct row {
        format_row format;
        double noise;
        std::int32_t channel;  // 1-based; channel 2 carries the signal negated
        std::int32_t phase_sign;
    };
    const row rows[] = {
        {{44100, 16, 1, 3, 1, 3}, 0.1, 1, 1},
        {{48000, 8, 2, 2, 0, 2}, 0.0, 2, -1},
        {{96000, 16, 2, 1, 3, 1}, 0.05, 1, 1},
    };
    for (const row& r : rows) {
        synth_settings s = signal_for(r.format);
        s.noise = r.noise;
        const bytes sent = payload(24, static_cast<unsigned>(r.format.sample_rate));
        const recording rec = record(sent, s);
        decoder_settings settings = settings_for(s, r.phase_sign);
        settings.channel = r.channel;
        const bytes whole = decode(rec, settings, false);
        EXPECT_EQ(whole, sent) << r.format.sample_rate << " Hz";
        for (const std::size_t limit : {1, 7, 4093, 4097}) {
            for (const bool plain : {false, true}) {
                EXPECT_EQ(decode(rec, settings, plain, limit), whole)
                    << r.format.sample_rate << " Hz in pieces of " << limit
                    << (plain ? " plain" : "");
            }
        }
    }
}

// The framing alone, over a scripted detector: where each call starts (the step-backs
// P/2 and P/8 + 1 frames, none before the first call of a start-bit search), the bit order,
// and the stop at the end of the data.
TEST(Framing, StepBacksBitOrderAndEnd) {
    constexpr std::size_t to_end = 0;  // the call runs out of data
    struct step {
        int bit;
        std::size_t advance;  // frames the call moves the cursor on, or to_end
    };
    struct row {
        std::int32_t carrier_period;
        std::vector<step> script;
        std::vector<std::size_t> entries;  // frame at which each call starts
        bytes written;
    };
    const std::vector<step> bits_0x41 = {{1, 40}, {0, 40}, {0, 40}, {0, 40},
                                         {0, 40}, {0, 40}, {1, 40}, {0, 40}};
    std::vector<row> rows = {
        // Idle, idle, start, 0x41, then idle to the end.
        {36,
         {{1, 40}, {1, 40}, {0, 40}},
         {0, 22, 44, 79, 114, 149, 184, 219, 254, 289, 324, 364},
         {0x41}},
        // Cut after three data bits 1, 0, 1: they sit in bits 5, 6, 7.
        {36, {{0, 40}, {1, 40}, {0, 40}, {1, to_end}}, {0, 35, 70, 105}, {0xA0}},
        // Cut after two: 1, 0 in bits 6 and 7, the last call's 0 included.
        {36, {{0, 40}, {1, 40}, {0, to_end}}, {0, 35, 70}, {0x40}},
        // A start bit found only by running out of data is no start bit.
        {36, {{1, 40}, {0, to_end}}, {0, 22}, {}},
        // carrier_period 1: no step back in the search, one frame before each data bit.
        {1, {{1, 40}, {0, 40}}, {0, 40, 79, 118, 157, 196, 235, 274, 313, 352, 392}, {0x41}},
    };
    rows[0].script.insert(rows[0].script.end(), bits_0x41.begin(), bits_0x41.end());
    rows[0].script.push_back({1, to_end});
    rows[4].script.insert(rows[4].script.end(), bits_0x41.begin(), bits_0x41.end());
    rows[4].script.push_back({0, to_end});

    for (const row& r : rows) {
        demod_config config;
        config.frames_per_bit = 36;
        config.carrier_period = r.carrier_period;
        constexpr std::size_t frames = 1000;
        sample_input data =
            open_samples(pcm_format(1, 44100, 16), std::vector<double>(frames), config);
        std::vector<std::size_t> entries;
        bytes written;
        std::size_t next = 0;
        frame_bytes(
            data.window, config,
            [&](std::uint64_t& cursor) {
                entries.push_back(cursor);
                const step s = r.script.at(next++);
                cursor = s.advance == to_end ? frames : cursor + s.advance;
                return s.bit;
            },
            [&](const framed_byte& b) { written.push_back(b.value); });
        EXPECT_EQ(entries, r.entries) << "P = " << r.carrier_period;
        EXPECT_EQ(written, r.written) << "P = " << r.carrier_period;
    }
}

// The executable reads a recording from a file and writes exactly the bytes sent.
TEST(Decode, Executable) {
    struct row {
        std::string options;
        std::int32_t baud, lower, sample_rate;
        double phase_degrees;
        std::size_t length;
        double amplitude;
    };
    const row rows[] = {
        {"", 1200, 1200, 44100, 0, 20, 0.66},
        {"-b 600 -w 1200", 600, 1200, 43200, 0, 20, 0.66},
        {"-b 300 -w 1200 -t 0.3", 300, 1200, 14400, 0, 20, 0.66},
        {"-p", 1200, 1200, 48000, -90, 20, 0.66},
        {"", 1200, 1200, 44100, 0, 0, 0.66},  // idle tone only
        {"", 1200, 1200, 44100, 0, 0, 0.0},   // silence only
    };
    const std::string dir = testing::TempDir();
    int n = 0;
    for (const row& r : rows) {
        synth_settings s;
        s.baud_rate = r.baud;
        s.lower_tone = r.lower;
        s.sample_rate = r.sample_rate;
        s.phase_degrees = r.phase_degrees;
        s.amplitude = r.amplitude;
        s.leader_bits = 4;
        s.gap_bits = 2;
        s.trailer_bits = 4;
        const bytes sent = r.length ? payload(r.length, static_cast<unsigned>(n) + 40) : bytes{};
        const std::string base = dir + "fskdec_decode_" + std::to_string(n++);
        {
            const bytes file = synthesize_wav(sent, s);
            std::ofstream(base + ".wav", std::ios::binary)
                .write(reinterpret_cast<const char*>(file.data()),
                       static_cast<std::streamsize>(file.size()));
        }
        const std::string command = std::string(FSKDEC_EXE) + " " + r.options + " '" + base +
                                    ".wav' '" + base + ".bin' > '" + base + ".txt'";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), 0) << command;
        std::ifstream out(base + ".bin", std::ios::binary);
        std::ifstream text(base + ".txt", std::ios::binary);
        EXPECT_EQ(bytes(std::istreambuf_iterator<char>(out), {}), sent) << command;
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), "") << command;
    }
}

}  // namespace
