#include "recover/recover.h"

#include "recover/measured.h"
#include "recover/tone_correlator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "base/error.h"
#include "impair.h"
#include "mod/synth.h"

namespace {

struct decoded {
    std::vector<std::uint8_t> bytes;
    std::vector<carrier_segment> segments;
};

decoded recover_all(const std::vector<double>& x, std::int32_t rate, const recover_signal& signal,
                    std::size_t block = 4096) {
    decoded out;
    recover_sink sink;
    sink.byte = [&](const recovered_byte& b) { out.bytes.push_back(b.value); };
    sink.segment = [&](const carrier_segment& s) { out.segments.push_back(s); };
    recover_decoder d = make_recover_decoder(signal, rate, 1.0);
    for (std::size_t i = 0; i < x.size(); i += block) {
        recover_samples(d, std::span<const double>(x.data() + i, std::min(block, x.size() - i)),
                        sink);
    }
    recover_finish(d, sink);
    return out;
}

decoded recover_all(const std::vector<double>& x, std::int32_t rate, const fsk_signal& signal,
                    std::size_t block = 4096) {
    return recover_all(x, rate, nominal_recover_signal(signal), block);
}

std::vector<std::uint8_t> text_bytes() {
    const std::string text = "The quick brown fox jumps over the lazy dog. 0123456789 \x01\xfe\x80";
    return {text.begin(), text.end()};
}

struct mild_case {
    std::string name;
    double amplitude = 0.5, speed = 0.0, gain1 = 1.0, phase = 0.0;
    std::int32_t rate = 44100, baud = 1200;
    int gap = 2;
};

class RecoverMild : public testing::TestWithParam<mild_case> {};

TEST_P(RecoverMild, DecodesExactly) {
    const mild_case& c = GetParam();
    tone_settings tone;
    tone.sample_rate = c.rate;
    tone.signal.baud_rate = c.baud;
    tone.signal.lower_tone = std::max(1200, c.baud);  // a whole number of cycles per bit
    tone.amplitude = c.amplitude;
    tone.gain1 = c.gain1;
    tone.phase = c.phase;
    time_warp warp;
    warp.speed = c.speed;
    const std::vector<std::uint8_t> sent = text_bytes();
    const std::vector<int> gaps(sent.size(), c.gap);
    std::vector<double> x = render_fsk(frame_bits(sent, gaps, 100, 20), tone, warp);
    quantise_16(x);
    EXPECT_EQ(recover_all(x, c.rate, tone.signal).bytes, sent);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoverMild,
                         testing::Values(mild_case{.name = "Quiet", .amplitude = 0.01},
                                         mild_case{.name = "Fast4", .speed = 0.04},
                                         mild_case{.name = "Slow4", .speed = -0.04},
                                         mild_case{.name = "UpperTone9dBDown", .gain1 = 0.355},
                                         mild_case{.name = "Inverted", .phase = std::numbers::pi},
                                         mild_case{.name = "Rate8000", .rate = 8000},
                                         mild_case{.name = "NoStopBits", .gap = 0},
                                         mild_case{.name = "Baud300", .baud = 300},
                                         mild_case{.name = "Baud2400", .baud = 2400}),
                         [](const testing::TestParamInfo<mild_case>& info) {
                             return info.param.name;
                         });

// Without stop bits, a run of zero bytes is thirty-six bits and more of the lower tone.
TEST(Recover, DecodesZeroRunsWithoutStopBits) {
    const std::vector<std::uint8_t> sent = {0x41, 0, 0, 0, 0, 0x42, 0, 0x43};
    tone_settings tone;
    const std::vector<double> x =
        render_fsk(frame_bits(sent, std::vector<int>(sent.size(), 0), 100, 20), tone, time_warp{});
    EXPECT_EQ(recover_all(x, 44100, tone.signal).bytes, sent);
}

// A recording that begins inside a byte, its bytes back to back (no idle bit, so any space
// could be a start bit): all but the byte it cut come out, from the first whole one on.
class RecoverCut : public testing::TestWithParam<double> {};

TEST_P(RecoverCut, LosesOnlyTheCutByte) {
    const double cut_bits = GetParam();
    // Bytes of all values (7-bit text without idle bits frames as well one bit early: its
    // top bit is a space before every start bit).
    std::vector<std::uint8_t> sent;
    std::uint32_t state = 1;
    for (int k = 0; k < 60; ++k) {
        state = state * 1103515245u + 12345u;
        sent.push_back(static_cast<std::uint8_t>(state >> 16));
    }
    tone_settings tone;
    std::vector<double> x =
        render_fsk(frame_bits(sent, std::vector<int>(sent.size(), 0), 0, 20), tone, time_warp{});
    x.erase(x.begin(), x.begin() + std::lround(cut_bits * 44100.0 / 1200.0));
    quantise_16(x);
    // A start bit cut in half still frames its byte.
    const auto kept = sent.begin() + (cut_bits < 1.0 ? 0 : 1);
    EXPECT_EQ(recover_all(x, 44100, tone.signal).bytes,
              std::vector<std::uint8_t>(kept, sent.end()));
}

INSTANTIATE_TEST_SUITE_P(BitsIntoAByte, RecoverCut, testing::Values(0.5, 2.5, 4.5, 6.5, 8.5),
                         [](const testing::TestParamInfo<double>& info) {
                             return "Bit" + std::to_string(static_cast<int>(info.param)) + "Half";
                         });

// A silent dropout of 30 ms (36 bits) wherever it falls within a byte, in the middle of the
// bytes or close to their end: the signal's return mid-byte must not leave the decoder on a
// wrong byte frame.
class RecoverDropout : public testing::TestWithParam<int> {};

TEST_P(RecoverDropout, LosesOnlyTheBytesItOverlapsPlusOne) {
    const std::vector<std::uint8_t> sent = text_bytes();
    tone_settings tone;
    std::vector<double> x =
        render_fsk(frame_bits(sent, std::vector<int>(sent.size(), 2), 100, 20), tone, time_warp{});
    const double per_bit = 44100.0 / 1200.0;
    const int from = 100 + 11 * (GetParam() < 11 ? 20 : 52) + GetParam() % 11, to = from + 36;
    std::fill(x.begin() + std::lround(from * per_bit), x.begin() + std::lround(to * per_bit), 0.0);
    std::size_t overlapped = 0;
    for (int i = 0; i < static_cast<int>(sent.size()); ++i)
        overlapped += 100 + 11 * i < to && 100 + 11 * i + 9 > from;
    EXPECT_LE(edit_distance(recover_all(x, 44100, tone.signal).bytes, sent), overlapped + 1);
}

INSTANTIATE_TEST_SUITE_P(BitsIntoAByte, RecoverDropout, testing::Range(0, 22),
                         [](const testing::TestParamInfo<int>& info) {
                             return (info.param < 11 ? "Mid" : "NearEnd") +
                                    std::to_string(info.param % 11);
                         });

// What fskenc -r 8000 writes, read back as samples.
TEST(Recover, DecodesTheEncoderAt8kHz) {
    synth_settings s;
    s.sample_rate = 8000;
    s.leader_bits = 60;
    s.gap_bits = 2;
    s.trailer_bits = 20;
    const std::vector<std::uint8_t> sent = text_bytes();
    const std::vector<std::uint8_t> pcm = synthesize_samples(sent, s);
    std::vector<double> x;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
        x.push_back(static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8)));
    decoded out;
    recover_sink sink;
    sink.byte = [&](const recovered_byte& b) { out.bytes.push_back(b.value); };
    recover_decoder d = make_recover_decoder(fsk_signal{}, 8000, 32768.0);
    recover_samples(d, x, sink);
    recover_finish(d, sink);
    EXPECT_EQ(out.bytes, sent);
}

// A carrier that lasts to the last frame ends there, not in the silence that brings the
// band filter's last frames out (fuzz_recover found segments a frame or three past the end
// of short recordings with short trailers).
TEST(Recover, EndsASegmentAtTheRecordingsEnd) {
    struct shape {
        std::int32_t rate, leader, gap, trailer, bytes;
    };
    for (const shape& c :
         {shape{8000, 30, 2, 1, 5}, shape{8000, 30, 2, 2, 5}, shape{11025, 0, 1, 2, 6}}) {
        synth_settings s;
        s.sample_rate = c.rate;
        s.leader_bits = c.leader;
        s.gap_bits = c.gap;
        s.trailer_bits = c.trailer;
        std::vector<std::uint8_t> text;
        for (int i = 0; i < c.bytes; ++i)
            text.push_back(static_cast<std::uint8_t>(0x41 + 7 * i));
        const std::vector<std::uint8_t> pcm = synthesize_samples(text, s);
        std::vector<double> x;
        for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
            x.push_back(static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8)) / 32768.0);
        const decoded out = recover_all(x, c.rate, fsk_signal{});
        ASSERT_FALSE(out.segments.empty()) << c.rate;
        EXPECT_LE(out.segments.back().end_frame, x.size()) << c.rate << " Hz, " << c.bytes;
    }
}

// A float recording may hold anything: an infinite, a huge or a NaN sample in the silence
// before a block leaves the block to decode (one would fill the running sums with
// infinities, then NaN, for good; fuzz_recover found the NaN reaching a frame index).
TEST(Recover, DecodesAfterNonFiniteSamples) {
    for (const double bad : {std::numeric_limits<double>::infinity(), 1e300,
                             std::numeric_limits<double>::quiet_NaN()}) {
        synth_settings s;
        s.leader_bits = 100;
        s.gap_bits = 1;
        s.trailer_bits = 10;
        const std::vector<std::uint8_t> pcm = synthesize_samples(text_bytes(), s);
        std::vector<double> x(4410, 0.0);
        x[100] = bad;
        x[101] = -bad;
        for (std::size_t i = 0; i + 1 < pcm.size(); i += 2)
            x.push_back(static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8)) / 32768.0);
        EXPECT_EQ(recover_all(x, 44100, fsk_signal{}).bytes, text_bytes()) << bad;
    }
}

class RecoverNoFsk : public testing::TestWithParam<std::string> {};

TEST_P(RecoverNoFsk, OutputsNothing) {
    const double rate = 44100.0;
    random_source r{9};
    std::vector<double> x;
    const std::string& kind = GetParam();
    if (kind == "Silence") x.assign(44100, 0.0);
    if (kind == "Hiss") {
        x.assign(44100, 0.0);
        add_hiss(x, 0.1, rate, r);
    }
    if (kind == "Tone1k") x = steady_tone(1000.0, 1.0, rate, 0.5);
    if (kind == "Sweep") x = sweep(8000.0, 100.0, 2.0, rate);
    if (kind == "Speech") x = speech_like(2.0, rate, r);
    if (kind == "Music") x = music_like(2.0, rate, r);
    if (kind == "PinkNoise") x = coloured_noise(noise_colour::pink, 2.0, rate, 0.3, r);
    if (kind == "NarrowNoise") x = band_noise(1100.0, 1300.0, 2.0, rate, 0.3, r);
    if (kind == "NoiseAtUpperTone") x = band_noise(2200.0, 2600.0, 2.0, rate, 0.3, r);
    EXPECT_TRUE(recover_all(x, 44100, fsk_signal{}).bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(Sounds, RecoverNoFsk,
                         testing::Values("Silence", "Hiss", "Tone1k", "Sweep", "Speech", "Music",
                                         "PinkNoise", "NarrowNoise", "NoiseAtUpperTone"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// Whole windows at the input rate, and a window of 12.25 samples taken every third frame.
TEST(Recover, CorrelatorMatchesDirectSum) {
    const struct {
        std::int32_t window, stride;
        double fraction;
    } cases[] = {{37, 1, 0.0}, {12, 3, 0.25}};
    for (const auto& c : cases) {
        const std::int32_t rate = 44100;
        tone_correlator corr = make_tone_correlator(c.window, rate, 1200, c.stride, c.fraction);
        std::vector<double> y;
        random_source r{3};
        for (int n = 0; n < 70000; ++n) {  // past the points where it resynchronises
            y.push_back(gaussian(r));
            correlate_sample(corr, y.back());
        }
        std::complex<double> s0, s1;
        double energy = 0.0;
        for (std::size_t n = y.size() - c.window - 1; n < y.size(); ++n) {
            const double weight = n == y.size() - c.window - 1 ? c.fraction : 1.0;
            const double a =
                2.0 * std::numbers::pi * 1200.0 * c.stride * static_cast<double>(n) / rate;
            s0 += weight * y[n] * std::polar(1.0, -a);
            s1 += weight * y[n] * std::polar(1.0, -2.0 * a);
            energy += weight * y[n] * y[n];
        }
        const window_sums got = correlator_sums(corr);
        EXPECT_NEAR(got.r0, s0.real(), 1e-9) << c.window;
        EXPECT_NEAR(got.i0, s0.imag(), 1e-9) << c.window;
        EXPECT_NEAR(got.r1, s1.real(), 1e-9) << c.window;
        EXPECT_NEAR(got.i1, s1.imag(), 1e-9) << c.window;
        EXPECT_NEAR(got.energy, energy, 1e-9) << c.window;
    }
}

// The upper tone on its own oscillator, 1.9 to 2.9 times the lower: a steady upper tone of
// whole cycles in the window gives its full amplitude and phase in the upper sums, and still
// does just before and after the oscillator and the sums are set from the exact phase (a
// resync from the lower tone's phase, or a drifting oscillator, turns it).
TEST(Recover, CorrelatorUpperToneHasItsOwnPhase) {
    const std::int32_t lower = 1200, window = 40;  // two cycles of the upper tone
    const double amplitude = 0.7, phi = 0.4;
    for (const std::int32_t upper : {2280, 2400, 2520, 3480}) {
        const std::int32_t rate = 20 * upper;
        tone_correlator corr = make_tone_correlator(window, rate, lower, 1, 0.0, upper);
        const std::complex<double> expected = std::polar(amplitude * window / 2.0, phi);
        std::uint64_t n = 0;
        for (const std::uint64_t until :
             {tuning::oscillator_resync - 1, 3 * tuning::oscillator_resync + 1,
              tuning::sums_resync - 1, tuning::sums_resync + tuning::oscillator_resync - 1,
              2 * tuning::sums_resync + 7}) {
            for (; n < until; ++n) {
                const auto turn =
                    static_cast<double>((n * upper) % static_cast<std::uint64_t>(rate));
                correlate_sample(corr,
                                 amplitude * std::cos(2.0 * std::numbers::pi * turn / rate + phi));
            }
            const window_sums got = correlator_sums(corr);
            EXPECT_NEAR(got.r1, expected.real(), 1e-9) << upper << " Hz after " << n;
            EXPECT_NEAR(got.i1, expected.imag(), 1e-9) << upper << " Hz after " << n;
        }
    }
}

// A machine whose tones are not in a 1:2 ratio: phase-continuous, the tone switched per bit.
std::vector<double> render_mistuned(const std::vector<std::uint8_t>& bits, std::int32_t rate,
                                    const recover_signal& s, double amplitude) {
    std::vector<double> x;
    double phase = 0.0;
    for (std::size_t n = 0;; ++n) {
        const auto bit = static_cast<std::size_t>(static_cast<double>(n) * s.baud_rate / rate);
        if (bit >= bits.size()) break;
        x.push_back(amplitude * std::cos(phase));
        phase += 2.0 * std::numbers::pi * (bits[bit] ? s.upper_tone : s.lower_tone) / rate;
        if (phase > 2.0 * std::numbers::pi) phase -= 2.0 * std::numbers::pi;
    }
    return x;
}

struct mistuned_case {
    std::string name;
    recover_signal signal;
};

class RecoverMistuned : public testing::TestWithParam<mistuned_case> {};

TEST_P(RecoverMistuned, DecodesExactlyWhenTunedToIt) {
    const recover_signal& s = GetParam().signal;
    const std::vector<std::uint8_t> sent = text_bytes();
    std::vector<double> x =
        render_mistuned(frame_bits(sent, std::vector<int>(sent.size(), 2), 100, 20), 44100, s, 0.5);
    quantise_16(x);
    EXPECT_EQ(recover_all(x, 44100, s).bytes, sent);
}

INSTANTIATE_TEST_SUITE_P(Tones, RecoverMistuned,
                         testing::Values(mistuned_case{"Baud300Upper2_1", {300.0, 1200, 2520}},
                                         mistuned_case{"Baud300Upper1_9", {300.0, 1200, 2280}},
                                         mistuned_case{"Baud1200Upper2_1", {1200.0, 1200, 2520}},
                                         mistuned_case{"Baud1200Upper1_9", {1200.0, 1200, 2280}},
                                         mistuned_case{"Baud1187_3Upper2_0", {1187.3, 1187, 2374}}),
                         [](const testing::TestParamInfo<mistuned_case>& info) {
                             return info.param.name;
                         });

TEST(Recover, ClockMeasuresTheSpeed) {
    tone_settings tone;
    time_warp warp;
    warp.speed = 0.05;
    random_source r{4};
    const std::vector<std::uint8_t> sent = random_bytes(200, r);
    std::vector<double> x =
        render_fsk(frame_bits(sent, std::vector<int>(sent.size(), 1), 100, 20), tone, warp);
    const decoded out = recover_all(x, 44100, tone.signal);
    ASSERT_EQ(out.segments.size(), 1u);
    EXPECT_NEAR(out.segments[0].speed, 0.05, 0.005);
    EXPECT_NEAR(out.segments[0].level, 0.5, 0.05);
    EXPECT_EQ(out.segments[0].bytes, sent.size());
}

// The tones' phase at the bit boundaries: as the encoder writes them, inverted, or a quarter
// turn off (neither), whatever the sample rate.
TEST(Recover, MeasuresPolarity) {
    const struct {
        double phase;
        std::int32_t rate;
        int polarity;
    } cases[] = {{0.0, 44100, 1},
                 {std::numbers::pi, 44100, -1},
                 {std::numbers::pi / 2, 44100, 0},
                 {0.0, 8000, 1},
                 {std::numbers::pi, 8000, -1}};
    random_source r{6};
    const std::vector<std::uint8_t> sent = random_bytes(40, r);
    for (const auto& c : cases) {
        tone_settings tone;
        tone.sample_rate = c.rate;
        tone.phase = c.phase;
        const std::vector<double> x = render_fsk(
            frame_bits(sent, std::vector<int>(sent.size(), 1), 100, 20), tone, time_warp{});
        const decoded out = recover_all(x, c.rate, tone.signal);
        ASSERT_EQ(out.segments.size(), 1u);
        EXPECT_EQ(out.segments[0].polarity, c.polarity) << c.phase << " " << c.rate;
    }
}

TEST(Recover, BlockSizeDoesNotMatter) {
    tone_settings tone;
    time_warp warp;
    warp.wow = 0.01;
    random_source r{5};
    const std::vector<std::uint8_t> sent = random_bytes(60, r);
    std::vector<double> x =
        render_fsk(frame_bits(sent, std::vector<int>(sent.size(), 1), 100, 20), tone, warp);
    add_white_noise(x, noise_for_ebn0(10.0, 0.5, 44100, 1200), r);
    const decoded whole = recover_all(x, 44100, tone.signal, x.size());
    for (std::size_t block : {1, 7, 255, 256, 1000}) {
        EXPECT_EQ(recover_all(x, 44100, tone.signal, block).bytes, whole.bytes) << block;
    }
}

// 300 baud at 10 dB Eb/N0, 2 % fast, idle gaps of 0 to 2 bits: the one carrier is one
// segment (a few poor bits in a row are noise, not its end), and its bytes come out but for
// a few per cent (the noise alone costs 3 % at this Eb/N0; a slipped frame costs a run).
TEST(Recover, ANoisySlowCarrierIsOneSegment) {
    tone_settings tone;
    tone.signal.baud_rate = 300;
    tone.amplitude = 0.1;
    time_warp warp;
    warp.speed = 0.02;
    random_source r{11};
    const std::vector<std::uint8_t> sent = random_bytes(400, r);
    std::vector<int> gaps(sent.size());
    for (int& g : gaps)
        g = static_cast<int>(next_random(r) % 3);
    std::vector<double> x = render_fsk(frame_bits(sent, gaps, 200, 20), tone, warp);
    add_white_noise(x, noise_for_ebn0(10.0, 0.1, 44100, 300), r);
    quantise_16(x);
    const decoded out = recover_all(x, 44100, tone.signal);
    EXPECT_EQ(out.segments.size(), 1u);
    EXPECT_LE(edit_distance(out.bytes, sent), sent.size() / 10);
}

TEST(Recover, RefusesUnusableSettings) {
    fsk_signal s;
    EXPECT_THROW(make_recover_decoder(s, 0, 1.0), fskdec_error);
    EXPECT_THROW(make_recover_decoder(s, 4800, 1.0), fskdec_error);  // upper tone at Nyquist
    EXPECT_THROW(make_recover_decoder(s, 44100, 0.0), fskdec_error);
    s.baud_rate = 0;
    EXPECT_THROW(make_recover_decoder(s, 44100, 1.0), fskdec_error);
    s = fsk_signal{};
    s.lower_tone = 0;
    EXPECT_THROW(make_recover_decoder(s, 44100, 1.0), fskdec_error);
    // Memory is sized by the bit: 200 cycles a bit is refused (fuzz_recover asked for 2.7 GB
    // with 21,672), 150 still decodes.
    s.baud_rate = 10;
    s.lower_tone = 2000;
    EXPECT_THROW(make_recover_decoder(s, 44100, 1.0), fskdec_error);
    s.lower_tone = 1500;
    EXPECT_NO_THROW(make_recover_decoder(s, 44100, 1.0));
}

// A measured signal's settings: each refused with its own message, the limits accepted.
TEST(Recover, RefusesUnusableMeasuredSignals) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        recover_signal signal;
        std::int32_t rate;
        const char* message;  // none: accepted
    } cases[] = {
        {{0.0, 1200, 2400}, 44100, "illegal baud rate"},
        {{nan, 1200, 2400}, 44100, "illegal baud rate"},
        {{inf, 1200, 2400}, 44100, "illegal baud rate"},
        {{1200.0, 0, 2400}, 44100, "illegal carrier frequency"},
        {{1200.0, 1200, 1200}, 44100, "illegal carrier frequency"},
        {{1200.0, 1200, 3601}, 44100, "illegal carrier frequency"},
        {{1200.0, 1200, 3600}, 44100, nullptr},
        {{1187.3, 1187, 2520}, 44100, nullptr},
        {{1200.0, 8000, 22050}, 44100, "sample rate too low for the carrier frequency"},
        {{1200.0, 8000, 22049}, 44100, nullptr},
        {{2000.5, 1000, 2000}, 8000, "sample rate too low for the carrier frequency"},
        {{2000.0, 1000, 2000}, 8000, nullptr},
    };
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.signal.baud_rate) + " baud " +
                                 std::to_string(c.signal.lower_tone) + "/" +
                                 std::to_string(c.signal.upper_tone) + " Hz";
        try {
            make_recover_decoder(c.signal, c.rate, 1.0);
            EXPECT_EQ(c.message, nullptr) << what;
        } catch (const fskdec_error& e) {
            EXPECT_STREQ(e.what(), c.message ? c.message : "(accepted)") << what;
        }
    }
}

// A short block measured with the digital silence after it in its stretch: the silence once
// pulled the tones' levels down, each by its own share, and moved every tone change; at one
// cycle of the lower tone a bit no bit rate was found and the block was read on the
// customary signal, every byte lost.
TEST(Recover, MeasuresABlockFollowedBySilence) {
    const struct {
        std::int32_t rate, baud, lower;
        std::size_t bytes, silence;
    } cases[] = {
        {22050, 2400, 2400, 89, 5000},
        {48000, 2400, 2400, 80, 24000},
        {22050, 2400, 2400, 80, 11025},
        {8000, 1200, 1200, 40, 4000},
    };
    for (const auto& c : cases) {
        random_source r{3};
        tone_settings tone;
        tone.sample_rate = c.rate;
        tone.signal.baud_rate = c.baud;
        tone.signal.lower_tone = c.lower;
        const std::vector<std::uint8_t> sent = random_bytes(c.bytes, r);
        std::vector<double> x =
            render_fsk(frame_bits(sent, std::vector<int>(sent.size(), 1), 40, 4), tone, {});
        x.resize(x.size() + c.silence, 0.0);
        std::vector<std::uint8_t> got;
        const recover_sink sink{[&](const recovered_byte& b) { got.push_back(b.value); }, {}};
        measured_decoder d = make_measured_decoder(c.rate, 1.0);
        measured_samples(d, x, sink);
        measured_finish(d, sink);
        EXPECT_EQ(got, sent) << c.baud << " baud at " << c.rate << " Hz, " << c.silence
                             << " frames of silence";
    }
}

}  // namespace
