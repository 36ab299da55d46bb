// The tone detector: where a window is accepted on steady tones, silence and weak or mixed
// signals, the slide rule at its exact level, the derived quantities, and judge_bins at
// every boundary of its comparisons.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "base/error.h"
#include "demod/detector.h"
#include "pcm_samples.h"

namespace {

constexpr std::int32_t rate = 43200;  // 36 frames per bit at 1200 baud: tones on bins 1 and 2
constexpr std::int32_t n = 36;

// amplitude * cos(2*pi*h*m/n + phase) for m = 0 .. frames-1, as integer samples; exactly
// periodic in n. amplitude is a fraction of full scale.
std::vector<int> tone(int frames, int h, double amplitude, double phase_degrees, int bits) {
    const double peak = amplitude * (bits == 8 ? 127.0 : 32767.0);
    std::vector<int> v;
    for (int m = 0; m < frames; ++m) {
        const double t =
            2.0 * std::numbers::pi * h * (m % n) / n + phase_degrees * std::numbers::pi / 180.0;
        v.push_back(static_cast<int>(std::lround(peak * std::cos(t))));
    }
    return v;
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] += b[i];
    return a;
}

std::vector<int> concat(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A recording's samples, channels interleaved.
struct recording {
    audio_format format;
    std::vector<double> values;
    std::size_t frames() const { return values.size() / static_cast<std::size_t>(format.channels); }
};

// Frames with `first` in channel 0 and, for stereo, `second` in channel 1.
recording pack(const std::vector<int>& first, int bits,
               const std::optional<std::vector<int>>& second = {}) {
    recording r{pcm_format(second ? 2 : 1, rate, bits), {}};
    for (std::size_t i = 0; i < first.size(); ++i) {
        r.values.push_back(first[i]);
        if (second) r.values.push_back((*second)[i]);
    }
    return r;
}

// The first `frames` frames of `r`.
recording cut(recording r, std::size_t frames) {
    r.values.resize(frames * static_cast<std::size_t>(r.format.channels));
    return r;
}

demod_config config_for(int bits, int channels, std::int32_t phase_sign = 1) {
    fsk_signal signal;
    signal.phase_sign = phase_sign;
    return make_demod_config(pcm_format(channels, rate, bits), signal, 0.15);
}

// The first window position >= start whose first frame lies between a falling zero
// crossing and the following trough of a tone with the given phase at frame 0.
int first_qualifying(int start, int h, double phase_degrees) {
    for (int s = start;; ++s) {
        const double phi = std::fmod(phase_degrees + 360.0 * h * s / n, 360.0);
        if (phi >= 90.0 && phi <= 180.0) return s;
    }
}

struct run_result {
    int bit;
    std::uint64_t cursor;  // a frame
};

// One detect_bit call from frame `cursor`, over a window on channel 0 of a fresh source.
run_result run(const recording& data, std::uint64_t cursor, const demod_config& config) {
    sample_input input = open_samples(data.format, data.values, config);
    const int bit = detect_bit(input.window, cursor, config);
    return {bit, cursor};
}

TEST(Detector, EndOfDataAtEntry) {
    const demod_config config = config_for(16, 1);
    const recording data = pack(tone(4 * n, 1, 0.66, 120, 16), 16);
    for (std::size_t at : {data.frames(), std::size_t{0}}) {
        const run_result r = run(cut(data, at), at, config);
        EXPECT_EQ(r.bit, 0);
        EXPECT_EQ(r.cursor, at);
    }
}

TEST(Detector, SilenceRunsToTheEnd) {
    const demod_config config = config_for(16, 1);
    struct row {
        int frames, start;
    };
    for (row r : {row{10 * n, 0}, row{10 * n + 5, 0}, row{10 * n + 5, 3 * n + 2}, row{7, 0}}) {
        const recording data = pack(std::vector<int>(static_cast<std::size_t>(r.frames), 0), 16);
        const run_result got = run(data, static_cast<std::uint64_t>(r.start), config);
        EXPECT_EQ(got.bit, 0) << r.frames << " from " << r.start;
        EXPECT_EQ(got.cursor, data.frames()) << r.frames << " from " << r.start;
    }
}

// Silence hops a whole window: after k*n silent frames the window starts exactly where
// the tone does, and slides from there to the first qualifying phase.
TEST(Detector, SilenceHopsAWholeWindow) {
    const demod_config config = config_for(16, 1);
    for (int k : {1, 3}) {
        const recording data = pack(concat(std::vector<int>(static_cast<std::size_t>(k * n), 0),
                                           tone(3 * n, 1, 0.66, 65, 16)),
                                    16);
        const run_result got = run(data, 0, config);
        EXPECT_EQ(got.bit, 0);
        EXPECT_EQ(got.cursor, static_cast<std::uint64_t>(k * n + first_qualifying(0, 1, 65) + n));
    }
}

struct steady_row {
    int h;  // 1: lower tone, 2: upper tone
    double phase_degrees;
    int start;  // frame the call starts at
    std::int32_t phase_sign;
    int bits;
    int channels;
};

TEST(Detector, SteadyToneIsTakenAtTheFirstQualifyingPhase) {
    const steady_row rows[] = {
        {1, 5, 0, 1, 16, 1},   {1, 125, 0, 1, 16, 1}, {1, 125, 7, 1, 16, 1},  {1, 203, 11, 1, 8, 2},
        {2, 5, 0, 1, 16, 1},   {2, 37, 3, 1, 8, 1},   {2, 125, 20, 1, 16, 2}, {1, 5, 0, -1, 16, 1},
        {1, 125, 0, -1, 8, 1}, {2, 5, 0, -1, 8, 2},   {2, 163, 1, -1, 16, 1},
    };
    for (const steady_row& r : rows) {
        const demod_config config = config_for(r.bits, r.channels, r.phase_sign);
        const std::vector<int> signal = tone(r.start + 3 * n, r.h, 0.66, r.phase_degrees, r.bits);
        // The second channel carries the other tone at full strength: it must not count.
        const auto data = r.channels == 1 ? pack(signal, r.bits)
                                          : pack(signal, r.bits,
                                                 tone(r.start + 3 * n, 3 - r.h, 0.9, 120, r.bits));
        const run_result got = run(data, static_cast<std::uint64_t>(r.start), config);
        // Reversed phase negates the samples: half a period further on.
        const int at =
            first_qualifying(r.start, r.h, r.phase_degrees + (r.phase_sign < 0 ? 180.0 : 0.0));
        SCOPED_TRACE(testing::Message() << "h " << r.h << " phase " << r.phase_degrees << " start "
                                        << r.start << " sign " << r.phase_sign << " bits " << r.bits
                                        << " channels " << r.channels);
        EXPECT_EQ(got.bit, r.h - 1);
        EXPECT_EQ(got.cursor, static_cast<std::uint64_t>(at + n));
    }
}

// Signals no window may accept: each call runs to the end of the data.
TEST(Detector, WeakOrMixedTonesAreNeverDetected) {
    struct row {
        double low, high;  // amplitudes as fractions of full scale
        const char* what;
    };
    const row rows[] = {
        {0.2, 0.0, "lower tone between the slide and detect levels"},
        {0.0, 0.2, "upper tone between the slide and detect levels"},
        {0.3, 0.3, "equal tones"},
        {0.4, 0.21, "lower tone under twice the upper"},
        {0.21, 0.4, "upper tone under twice the lower"},
    };
    for (int bits : {8, 16}) {
        const demod_config config = config_for(bits, 1);
        for (const row& r : rows) {
            const auto data = pack(
                tone(8 * n + 3, 1, r.low, 5, bits) + tone(8 * n + 3, 2, r.high, 5, bits), bits);
            const run_result got = run(data, 0, config);
            EXPECT_EQ(got.bit, 0) << r.what << ", " << bits << "-bit";
            EXPECT_EQ(got.cursor, data.frames()) << r.what << ", " << bits << "-bit";
        }
    }
}

// The first window (at the cursor) fails the phase test; the window one frame later would
// pass it, while every window a whole bit later looks exactly like the first. So the
// call decides one frame on only if the first window's magnitude reached slide_level.
TEST(Detector, SlidesWhenTheMagnitudeReachesTheSlideLevelExactly) {
    for (int h : {1, 2}) {
        const double phase = h == 1 ? 85.0 : 75.0;  // one frame on: 95 degrees
        const std::vector<int> samples = tone(6 * n, h, 0.66, phase, 16);
        const recording data = pack(samples, 16);
        demod_config config = config_for(16, 1);

        std::vector<complex_value> window(n), spectrum(n);
        for (int i = 0; i < n; ++i)
            window[static_cast<std::size_t>(i)] = {static_cast<double>(samples[i]), 0.0};
        mixed_radix_dft(window.data(), spectrum.data(), n);
        const bit_verdict first = judge_bins(spectrum[1], spectrum[2], config);
        ASSERT_EQ(first.bit, -1);
        const double level = h == 1 ? first.low : first.high;
        ASSERT_LT(h == 1 ? first.high : first.low, level);

        config.slide_level = level;
        run_result got = run(data, 0, config);
        EXPECT_EQ(got.bit, h - 1) << "tone " << h << " at the slide level";
        EXPECT_EQ(got.cursor, static_cast<std::uint64_t>(1 + n));

        config.slide_level = std::nextafter(level, 1e300);
        got = run(data, 0, config);
        EXPECT_EQ(got.bit, 0) << "tone " << h << " just under the slide level";
        EXPECT_EQ(got.cursor, data.frames());
    }
}

// A window the data fills only in part is still judged once: entries past the end hold 0
// at the first position of a call, so a tone cut short is taken if the rest qualifies.
TEST(Detector, WindowCutShortByTheEndIsJudged) {
    const demod_config config = config_for(16, 1);
    EXPECT_EQ(run(pack(tone(n - 4, 1, 0.66, 125, 16), 16), 0, config).bit, 0);
    const recording upper = pack(tone(n - 4, 2, 0.66, 125, 16), 16);
    const run_result got = run(upper, 0, config);
    EXPECT_EQ(got.bit, 1);
    EXPECT_EQ(got.cursor, upper.frames());
}

TEST(Detector, DerivedQuantities) {
    struct row {
        std::int32_t sample_rate, baud, carrier, bits;
        double threshold;
        std::int32_t frames_per_bit, carrier_bin, carrier_period;
        double detect_level, slide_level;
    };
    const row rows[] = {
        {44100, 1200, 1200, 16, 0.15, 36, 1, 36, 4915.2, 1228.8},
        {43200, 1200, 1200, 8, 0.15, 36, 1, 36, 19.2, 4.8},
        {48000, 300, 1200, 16, 0.5, 160, 4, 40, 16384, 4096},
        {9600, 1200, 2400, 8, 0.25, 8, 2, 4, 32, 8},
        {3600, 1200, 1200, 16, 0.15, 3, 1, 3, 4915.2, 1228.8},
    };
    for (const row& r : rows) {
        const demod_config c = make_demod_config(pcm_format(1, r.sample_rate, r.bits),
                                                 fsk_signal{r.baud, r.carrier, -1}, r.threshold);
        SCOPED_TRACE(r.sample_rate);
        EXPECT_EQ(c.frames_per_bit, r.frames_per_bit);
        EXPECT_EQ(c.carrier_bin, r.carrier_bin);
        EXPECT_EQ(c.carrier_period, r.carrier_period);
        EXPECT_DOUBLE_EQ(c.detect_level, r.detect_level);
        EXPECT_DOUBLE_EQ(c.slide_level, r.slide_level);
        EXPECT_EQ(c.phase_sign, -1);
    }
}

TEST(Detector, UpperBinMustLieBelowTheWindowLength) {
    struct row {
        std::int32_t sample_rate, baud, carrier;
    };
    const row rows[] = {
        {2400, 1200, 1200},         // 2a == N
        {1000, 1200, 1200},         // N == 0
        {0, 1200, 1200},            // N == 0
        {-2147483647 - 1, 1, 1},    // a rate with its top bit set
        {44100, 1, 2000000000},     // 2a beyond 32 bits
        {44100, 1200, 1999999200},  // a huge lower tone
        {48000, 1200, 24000},       // 2a == N
    };
    for (const row& r : rows) {
        try {
            make_demod_config(pcm_format(1, r.sample_rate, 16), fsk_signal{r.baud, r.carrier, 1},
                              0.15);
            ADD_FAILURE() << "accepted " << r.sample_rate << " / " << r.carrier;
        } catch (const fskdec_error& e) {
            EXPECT_STREQ(e.what(), "sample rate too low for the carrier frequency");
        }
    }
}

// judge_bins on hand-built bins, with N = 4 and levels 100 (detect) and 25 (slide): every
// value below is exact, so each row sits on, or one step past, a comparison's edge.
TEST(Detector, JudgeBinsBoundaries) {
    demod_config config;
    config.frames_per_bit = 4;
    config.detect_level = 100.0;
    config.slide_level = 25.0;
    const double past_400 = std::nextafter(-400.0, -1e300);  // magnitude just over 400
    const double under_404 = std::nextafter(404.0, 0.0);
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct row {
        complex_value low, high;
        int bit;
        const char* what;
    };
    const row rows[] = {
        {{-400, 0}, {0, 0}, -1, "lower magnitude exactly at the detect level"},
        {{past_400, 0}, {0, 0}, 0, "lower magnitude just over the detect level"},
        {{-240, -320}, {0, 0}, -1, "lower magnitude 400 from both parts"},
        {{-241, -320}, {0, 0}, 0, "lower magnitude just over 400 from both parts"},
        {{0, 0}, {-400, 0}, -1, "upper magnitude exactly at the detect level"},
        {{0, 0}, {past_400, 0}, 1, "upper magnitude just over the detect level"},
        {{-404, 0}, {0, 0}, 0, "lower imaginary part exactly 0"},
        {{0, -404}, {0, 0}, 0, "lower real part exactly 0"},
        {{-0.0, -0.0}, {0, 0}, -1, "lower magnitude 0"},
        {{tiny, -404}, {0, 0}, -1, "lower real part just positive"},
        {{-404, tiny}, {0, 0}, -1, "lower imaginary part just positive"},
        {{0, 0}, {-404, 0}, 1, "upper imaginary part exactly 0"},
        {{0, 0}, {0, -404}, 1, "upper real part exactly 0"},
        {{0, 0}, {tiny, -404}, -1, "upper real part just positive"},
        {{0, 0}, {-404, tiny}, -1, "upper imaginary part just positive"},
        {{-808, 0}, {404, 0}, -1, "lower exactly twice the upper"},
        {{-808, 0}, {under_404, 0}, 0, "lower just over twice the upper"},
        {{404, 0}, {0, -808}, -1, "upper exactly twice the lower"},
        {{under_404, 0}, {0, -808}, 1, "upper just over twice the lower"},
        {{-808, 0}, {0, -400}, 0, "lower dominant, upper at the right phase"},
    };
    for (const row& r : rows) {
        const bit_verdict v = judge_bins(r.low, r.high, config);
        EXPECT_EQ(v.bit, r.bit) << r.what;
    }
    const bit_verdict v = judge_bins({-808, 0}, {-240, 320}, config);
    EXPECT_EQ(v.low, 202.0);
    EXPECT_EQ(v.high, 100.0);
}

}  // namespace
