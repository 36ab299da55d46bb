// The fast detector against the plain one: the same bins, the same decisions from the same
// cursors, the same decoded bytes, on many signals and window lengths.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "demod/fast_detector.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "pcm_samples.h"

namespace {

demod_config config_for(std::int32_t sample_rate, std::int32_t baud, std::int32_t carrier_bin,
                        std::int32_t bits, std::int32_t channels, std::int32_t phase_sign,
                        double threshold = 0.15) {
    return make_demod_config(pcm_format(channels, sample_rate, bits),
                             fsk_signal{baud, carrier_bin * baud, phase_sign}, threshold);
}

// Raw bytes of whole frames of `channels` samples of `bits` as the values they hold.
std::vector<double> values_of(std::span<const std::uint8_t> data, std::int32_t bits,
                              std::int32_t channels) {
    return pcm_values(data, {channels, bits, channels * bits / 8});
}

std::vector<std::uint8_t> random_bytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> out(count);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

// The window of N frames from `start` as detect_bit fills it (wholly inside the data), from
// the channel's values as the source holds them: the phase sign applied here, not by a window.
std::vector<complex_value> window_at(const std::vector<double>& values, std::int32_t channels,
                                     const demod_config& config, std::size_t start) {
    std::vector<complex_value> window(static_cast<std::size_t>(config.frames_per_bit));
    for (std::size_t i = 0; i < window.size(); ++i) {
        const double s = values[(start + i) * static_cast<std::size_t>(channels)];
        window[i] = {s * config.phase_sign, 0.0};
    }
    return window;
}

// Compares window_bins at each start of `starts`, in order (so the nodes it keeps are
// reused as they would be), against mixed_radix_dft of the same window.
void expect_bins_match(const std::vector<double>& values, std::int32_t channels,
                       const demod_config& config, const std::vector<std::size_t>& starts) {
    const sample_input input = open_whole(pcm_format(channels, 1, 16), values, config);
    const sample_window& held_frames = input.window;
    tone_bins bins = plan_tone_bins(config);
    const auto n = static_cast<std::size_t>(config.frames_per_bit);
    const auto a = static_cast<std::size_t>(config.carrier_bin);
    const std::size_t frames = values.size() / static_cast<std::size_t>(channels);
    std::vector<complex_value> spectrum(n);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t start = starts[k];
        const std::vector<complex_value> window = window_at(values, channels, config, start);
        mixed_radix_dft(window.data(), spectrum.data(), config.frames_per_bit);
        // Every third start also evaluates the next windows in one batch.
        const std::size_t batch = std::min(max_window_batch, frames - n + 1 - start);
        bin_pair pair;
        if (k % 3 == 2) {
            evaluate_windows(bins, held_frames, start, batch);
            pair = evaluated_window(bins, start);
            // The batch's last window too.
            const std::size_t last = start + batch - 1;
            const std::vector<complex_value> last_window =
                window_at(values, channels, config, last);
            mixed_radix_dft(last_window.data(), spectrum.data(), config.frames_per_bit);
            const bin_pair last_pair = evaluated_window(bins, last);
            ASSERT_EQ(last_pair.low.re, spectrum[a].re) << "N=" << n << " batch end " << last;
            ASSERT_EQ(last_pair.low.im, spectrum[a].im) << "N=" << n << " batch end " << last;
            ASSERT_EQ(last_pair.high.re, spectrum[2 * a].re) << "N=" << n << " batch end " << last;
            ASSERT_EQ(last_pair.high.im, spectrum[2 * a].im) << "N=" << n << " batch end " << last;
            mixed_radix_dft(window.data(), spectrum.data(), config.frames_per_bit);
        } else {
            pair = window_bins(bins, held_frames, start);
        }
        // == on doubles: equal values, where an exact zero may carry either sign.
        ASSERT_EQ(pair.low.re, spectrum[a].re) << "N=" << n << " start=" << start;
        ASSERT_EQ(pair.low.im, spectrum[a].im) << "N=" << n << " start=" << start;
        ASSERT_EQ(pair.high.re, spectrum[2 * a].re) << "N=" << n << " start=" << start;
        ASSERT_EQ(pair.high.im, spectrum[2 * a].im) << "N=" << n << " start=" << start;
        // The same window held in an array, as the window past the end of the data is.
        const bin_pair held = array_bins(bins, window.data());
        ASSERT_EQ(held.low.re, spectrum[a].re) << "N=" << n << " array at " << start;
        ASSERT_EQ(held.low.im, spectrum[a].im) << "N=" << n << " array at " << start;
        ASSERT_EQ(held.high.re, spectrum[2 * a].re) << "N=" << n << " array at " << start;
        ASSERT_EQ(held.high.im, spectrum[2 * a].im) << "N=" << n << " array at " << start;
    }
}

struct bins_case {
    std::int32_t n;
    std::int32_t carrier_bin;
    std::int32_t bits;
    std::int32_t channels;
    std::int32_t phase_sign;
};

void PrintTo(const bins_case& c, std::ostream* os) {
    *os << "N=" << c.n << " a=" << c.carrier_bin << " " << c.bits << "-bit " << c.channels
        << "ch sign " << c.phase_sign;
}

class FastBins : public ::testing::TestWithParam<bins_case> {};

TEST_P(FastBins, EqualTheFullTransformOnRandomWindows) {
    const bins_case c = GetParam();
    const demod_config config =
        config_for(c.n * 10, 10, c.carrier_bin, c.bits, c.channels, c.phase_sign);
    const auto n = static_cast<std::size_t>(c.n);
    const std::size_t frames = 6 * n + 50;
    const std::vector<std::uint8_t> data =
        random_bytes(frames * static_cast<std::size_t>(c.channels * c.bits / 8),
                     static_cast<std::uint64_t>(c.n) * 7 + 1);

    // Slides one frame at a time, hops, jumps back and repeats, as the detector and the
    // framing move, then random starts anywhere.
    std::vector<std::size_t> starts;
    const std::size_t last = frames - n;
    for (std::size_t s = 0; s < std::min<std::size_t>(last, 2 * n + 3); ++s)
        starts.push_back(s);
    for (std::size_t s = 0; s + n <= last && starts.size() < 4 * n + 40; s += n) {
        starts.push_back(s);
        starts.push_back(s);
        if (s + n / 2 <= last) starts.push_back(s + n / 2);
    }
    std::mt19937_64 rng(static_cast<std::uint64_t>(c.n));
    for (int k = 0; k < 40; ++k)
        starts.push_back(static_cast<std::size_t>(rng() % (last + 1)));
    starts.push_back(last);
    starts.push_back(0);
    expect_bins_match(values_of(data, c.bits, c.channels), c.channels, config, starts);
}

INSTANTIATE_TEST_SUITE_P(
    WindowLengths, FastBins,
    ::testing::Values(
        bins_case{3, 1, 16, 1, 1}, bins_case{4, 1, 8, 1, 1}, bins_case{6, 1, 16, 1, -1},
        bins_case{6, 2, 8, 2, 1}, bins_case{7, 3, 16, 1, 1}, bins_case{18, 1, 16, 2, 1},
        bins_case{18, 4, 8, 1, -1}, bins_case{36, 1, 16, 1, 1}, bins_case{36, 1, 8, 1, -1},
        bins_case{36, 17, 16, 1, 1}, bins_case{37, 1, 16, 1, 1}, bins_case{37, 18, 16, 2, -1},
        bins_case{40, 1, 16, 1, 1}, bins_case{40, 10, 16, 1, 1}, bins_case{64, 3, 16, 1, 1},
        bins_case{80, 2, 8, 2, 1}, bins_case{147, 1, 16, 1, 1}, bins_case{147, 49, 16, 1, -1},
        bins_case{210, 7, 16, 1, 1}, bins_case{211, 2, 16, 1, -1}),
    [](const ::testing::TestParamInfo<bins_case>& info) {
        const bins_case& c = info.param;
        std::string name = "n";
        name.append(std::to_string(c.n)).append("_a").append(std::to_string(c.carrier_bin));
        name.append("_").append(std::to_string(c.bits)).append("bit_");
        name.append(std::to_string(c.channels)).append("ch");
        if (c.phase_sign < 0) name.append("_reversed");
        return name;
    });

// A prime window of 44101 frames plans in memory proportional to N and its bins equal the
// transform's single level: sum over j of e^(+2 pi i k j / N) * x[j], accumulated in order.
TEST(FastBins, LargePrimeWindowMatchesItsOneLevelSum) {
    const std::int32_t n = 44101;
    const demod_config config = config_for(n, 1, 5, 16, 1, 1);
    const std::vector<double> values = values_of(random_bytes(2 * (n + 3), 3), 16, 1);
    const sample_input input = open_whole(pcm_format(1, n, 16), values, config);
    tone_bins bins = plan_tone_bins(config);
    ASSERT_EQ(bins.levels.size(), 1u);
    EXPECT_EQ(bins.levels[0].twiddles.size(), std::size_t{n});

    for (const std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        const std::vector<complex_value> x = window_at(values, 1, config, start);
        for (const std::int32_t k : {5, 10}) {
            complex_value sum;
            for (std::int32_t j = 0; j < n; ++j) {
                const double two_pi_j = two_pi * j;
                const double theta = k * two_pi_j / n;
                const double c = std::cos(theta);
                const double s = std::sin(theta);
                sum.re += c * x[j].re - s * x[j].im;
                sum.im += c * x[j].im + s * x[j].re;
            }
            const bin_pair pair = window_bins(bins, input.window, start);
            const complex_value got = k == 5 ? pair.low : pair.high;
            EXPECT_EQ(got.re, sum.re) << "start " << start << " bin " << k;
            EXPECT_EQ(got.im, sum.im) << "start " << start << " bin " << k;
        }
    }
}

// The squared-magnitude thresholds decide exactly as the rounded magnitude does, at the
// threshold and at the doubles on either side of it, for the levels the settings produce.
TEST(FastDetector, SquareThresholdsAgreeWithTheRoundedMagnitude) {
    for (const double n : {3.0, 36.0, 37.0, 147.0, 44101.0}) {
        for (const double ratio : {0.15, 0.01, 0.5, 0.999, 1e-9}) {
            for (const double full_scale : {128.0, 32768.0}) {
                for (const bool strict : {false, true}) {
                    const double level = strict ? full_scale * ratio : ratio * 0.25 * full_scale;
                    const double t = square_threshold(level, n, strict);
                    ASSERT_TRUE(std::isfinite(t));
                    const auto reaches = [&](double m) {
                        const double magnitude = std::sqrt(m) / n;
                        return strict ? magnitude > level : magnitude >= level;
                    };
                    EXPECT_TRUE(reaches(t)) << n << " " << level;
                    EXPECT_FALSE(reaches(std::nextafter(t, 0.0))) << n << " " << level;
                    EXPECT_TRUE(reaches(std::nextafter(t, 1e300))) << n << " " << level;
                }
            }
        }
    }
    EXPECT_EQ(square_threshold(0.0, 36.0, false), 0.0);
    EXPECT_EQ(square_threshold(1e300, 36.0, true), std::numeric_limits<double>::infinity());
}

// A signal and the settings it is decoded with.
struct signal_case {
    std::string name;
    std::int32_t sample_rate;
    std::int32_t baud;
    std::int32_t carrier_bin;
    std::int32_t bits = 16;
    std::int32_t channels = 1;
    double amplitude = 0.66;
    double noise = 0.0;
    double phase_degrees = 0.0;
    std::int32_t phase_sign = 1;
    std::size_t byte_count = 6;
    std::int32_t gap_bits = 2;
    bool random_samples = false;      // raw random bytes instead of a synthesized signal
    std::size_t truncate_frames = 0;  // keep only this many frames (0: all)
};

void PrintTo(const signal_case& c, std::ostream* os) {
    *os << c.name;
}

// The case's samples, channels interleaved.
std::vector<double> make_data(const signal_case& c) {
    const std::uint64_t seed = std::hash<std::string>{}(c.name);
    const std::size_t frame_bytes = static_cast<std::size_t>(c.channels * c.bits / 8);
    std::vector<std::uint8_t> data;
    if (c.random_samples) {
        const std::size_t frames = c.byte_count * 12 * static_cast<std::size_t>(c.sample_rate) /
                                   static_cast<std::size_t>(c.baud);
        data = random_bytes(frames * frame_bytes, seed);
    } else {
        synth_settings signal;
        signal.sample_rate = c.sample_rate;
        signal.quantization_bit = c.bits;
        signal.channels = c.channels;
        signal.amplitude = c.amplitude;
        signal.baud_rate = c.baud;
        signal.lower_tone = c.carrier_bin * c.baud;
        signal.phase_degrees = c.phase_degrees;
        signal.leader_bits = 5;
        signal.gap_bits = c.gap_bits;
        signal.trailer_bits = 3;
        signal.noise = c.noise;
        signal.seed = seed;
        data = synthesize_samples(random_bytes(c.byte_count, seed + 1), signal);
    }
    if (c.truncate_frames > 0 && c.truncate_frames * frame_bytes < data.size()) {
        data.resize(c.truncate_frames * frame_bytes);
    }
    return values_of(data, c.bits, c.channels);
}

class FastDecode : public ::testing::TestWithParam<signal_case> {};

// The framing drives both detectors: at every call the fast one starts from the cursor the
// plain one was given and must return the same bit and leave the same cursor. The plain
// result steers the framing, so its bytes are decode_bytes_plain's; decode_bytes must match.
TEST_P(FastDecode, DecisionsCursorsAndBytesEqualThePlainPath) {
    const signal_case& c = GetParam();
    const demod_config config =
        config_for(c.sample_rate, c.baud, c.carrier_bin, c.bits, c.channels, c.phase_sign);
    ASSERT_TRUE(fast_detector_applies(config));
    const audio_format format = pcm_format(c.channels, c.sample_rate, c.bits);
    const std::vector<double> values = make_data(c);

    // Each detector reads through a window of its own, so that neither sees frames the other
    // had read: both must ask for them.
    sample_input plain = open_samples(format, values, config);
    sample_input fast = open_samples(format, values, config);
    fast_detector detector = make_fast_detector(config);
    std::vector<std::uint8_t> plain_bytes;
    std::size_t calls = 0;
    frame_bytes(
        plain.window, config,
        [&](std::uint64_t& cursor) {
            std::uint64_t fast_cursor = cursor;
            const int plain_bit = detect_bit(plain.window, cursor, config);
            const int fast_bit = detect_bit_fast(detector, fast.window, fast_cursor);
            EXPECT_EQ(fast_bit, plain_bit) << "call " << calls;
            EXPECT_EQ(fast_cursor, cursor) << "call " << calls;
            ++calls;
            return plain_bit;
        },
        [&](const framed_byte& b) { plain_bytes.push_back(b.value); });

    const std::vector<std::uint8_t> fast_bytes = decode_values(format, values, config);
    EXPECT_EQ(fast_bytes, plain_bytes);
    if (c.noise == 0.0 && !c.random_samples && c.truncate_frames == 0 && c.amplitude > 0.5 &&
        c.phase_degrees == 0.0 && c.phase_sign == 1 && c.baud * 36 <= c.sample_rate) {
        // A clean signal of 36 or more frames per bit decodes to what was sent.
        const std::uint64_t seed = std::hash<std::string>{}(c.name);
        EXPECT_EQ(fast_bytes, random_bytes(c.byte_count, seed + 1));
    }
}

std::vector<signal_case> signal_cases() {
    std::vector<signal_case> cases;
    // Window lengths N = sample_rate / baud, carrier bins a, some rates not a multiple.
    struct shape {
        std::int32_t sample_rate, baud, carrier_bin;
        std::size_t bytes;
        bool all_variants = true;  // false: a long window, too slow for the plain path
    };
    const shape shapes[] = {
        {3600, 1200, 1, 6},  {7200, 1200, 1, 6},        {8400, 1200, 1, 6},  {8400, 1200, 3, 6},
        {21600, 1200, 1, 6}, {44100, 1200, 1, 8},       {43200, 1200, 2, 6}, {44400, 1200, 1, 6},
        {48000, 1200, 1, 6}, {48000, 1200, 4, 4},       {96000, 1200, 1, 3}, {44100, 300, 1, 2},
        {44100, 300, 8, 2},  {25100, 100, 2, 1, false},
    };
    for (const shape& s : shapes) {
        const std::string base = "sr" + std::to_string(s.sample_rate) + "_b" +
                                 std::to_string(s.baud) + "_a" + std::to_string(s.carrier_bin);
        signal_case c{base + "_clean", s.sample_rate, s.baud, s.carrier_bin};
        c.byte_count = s.bytes;
        cases.push_back(c);
        if (!s.all_variants) {
            signal_case noisy = c;
            noisy.name = base + "_noise30_truncated";
            noisy.noise = 0.3;
            noisy.truncate_frames = static_cast<std::size_t>(s.sample_rate / s.baud) * 11;
            cases.push_back(noisy);
            continue;
        }

        signal_case noisy = c;
        for (const double noise : {0.05, 0.2, 0.6}) {
            noisy.name = base + "_noise" + std::to_string(static_cast<int>(noise * 100));
            noisy.noise = noise;
            cases.push_back(noisy);
        }
        signal_case shifted = c;
        shifted.name = base + "_rising_reversed";
        shifted.phase_degrees = -90.0;
        shifted.phase_sign = -1;
        shifted.bits = 8;
        shifted.noise = 0.02;
        cases.push_back(shifted);

        signal_case stereo = c;
        stereo.name = base + "_stereo_8bit_truncated";
        stereo.channels = 2;
        stereo.bits = 8;
        stereo.gap_bits = 0;
        stereo.truncate_frames = static_cast<std::size_t>(s.sample_rate / s.baud) * (10 + 9 + 4) +
                                 static_cast<std::size_t>(s.sample_rate / s.baud) / 3;
        cases.push_back(stereo);

        signal_case random = c;
        random.name = base + "_random_samples";
        random.random_samples = true;
        random.byte_count = std::max<std::size_t>(1, s.bytes / 3);
        cases.push_back(random);
    }
    // Levels around the thresholds, clipping and near silence at the default window.
    for (const double amplitude : {0.004, 0.05, 0.2, 0.3, 1.0}) {
        signal_case c{"level" + std::to_string(static_cast<int>(amplitude * 1000)), 44100, 1200, 1};
        c.amplitude = amplitude;
        c.noise = amplitude > 0.9 ? 0.3 : 0.0;
        cases.push_back(c);
    }
    for (const std::size_t frames : {30, 36, 37, 73, 100, 400, 1234}) {
        signal_case c{"truncated" + std::to_string(frames), 44100, 1200, 1};
        c.truncate_frames = frames;
        cases.push_back(c);
        c.name += "_random";
        c.random_samples = true;
        cases.push_back(c);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Signals, FastDecode, ::testing::ValuesIn(signal_cases()),
                         [](const ::testing::TestParamInfo<signal_case>& info) {
                             return info.param.name;
                         });

// Calls from cursors the framing never uses: arbitrary frames in any order, the last frames,
// the end itself, and frames past the end.
TEST(FastDetector, AgreesFromArbitraryCursors) {
    signal_case c{"arbitrary", 44100, 1200, 1};
    c.channels = 2;
    c.noise = 0.1;
    c.byte_count = 4;
    const std::vector<double> values = make_data(c);
    const demod_config config = config_for(44100, 1200, 1, 16, 2, 1);
    const audio_format format = pcm_format(2, 44100, 16);
    sample_input plain = open_whole(format, values, config);
    sample_input fast = open_whole(format, values, config);
    fast_detector detector = make_fast_detector(config);
    const std::uint64_t frames = values.size() / 2;
    std::mt19937_64 rng(11);
    std::vector<std::uint64_t> cursors;
    for (std::uint64_t f = frames - 40; f <= frames; ++f)
        cursors.push_back(f);
    for (int k = 0; k < 150; ++k)
        cursors.push_back(rng() % frames);
    for (int k = 0; k < 10; ++k)
        cursors.push_back(frames + rng() % frames);
    for (const std::uint64_t start : cursors) {
        std::uint64_t plain_cursor = start;
        std::uint64_t fast_cursor = start;
        const int plain_bit = detect_bit(plain.window, plain_cursor, config);
        const int fast_bit = detect_bit_fast(detector, fast.window, fast_cursor);
        ASSERT_EQ(fast_bit, plain_bit) << "from " << start;
        ASSERT_EQ(fast_cursor, plain_cursor) << "from " << start;
    }
}

// The window that runs past the end of the data keeps, in the entries the data does not fill,
// the samples of the call's previous position. Here that position holds a weak upper tone
// (below the slide level, so the window hops; or above it, so it slides) and the last frames
// a loud one at every phase: the leftover samples tip some of the decisions.
TEST(FastDetector, WindowPastTheEndKeepsThePreviousSamples) {
    const demod_config config = config_for(43200, 1200, 1, 16, 1, 1);
    const std::size_t n = 36;
    int decided = 0;
    for (const double weak : {0.06, 0.1}) {
        for (std::size_t tail = 1; tail < n; tail += 3) {
            for (int degrees = 0; degrees < 360; degrees += 7) {
                std::vector<double> values;
                auto put = [&](double value) {
                    values.push_back(static_cast<std::int16_t>(std::lround(value * 32767.0)));
                };
                const double phase = degrees * two_pi / 360.0;
                for (std::size_t m = 0; m < n + tail; ++m) {
                    const double amplitude = m < n ? weak : 0.45;
                    put(amplitude * std::cos(2.0 * two_pi * static_cast<double>(m) / 36.0 + phase));
                }
                const audio_format format = pcm_format(1, 43200, 16);
                sample_input plain = open_samples(format, values, config);
                sample_input fast = open_samples(format, values, config);
                fast_detector detector = make_fast_detector(config);
                std::uint64_t plain_cursor = 0;
                std::uint64_t fast_cursor = 0;
                const int plain_bit = detect_bit(plain.window, plain_cursor, config);
                const int fast_bit = detect_bit_fast(detector, fast.window, fast_cursor);
                ASSERT_EQ(fast_bit, plain_bit) << weak << " " << tail << " " << degrees;
                ASSERT_EQ(fast_cursor, plain_cursor) << weak << " " << tail << " " << degrees;
                decided += plain_bit;
            }
        }
    }
    EXPECT_GT(decided, 0);
}

// A large prime window (no shared nodes between positions) through the whole decoder.
TEST(FastDetector, LargePrimeWindowDecodesAsThePlainPath) {
    // N = 1009 frames per bit: random samples, then quiet, so positions both slide and hop.
    const demod_config config = config_for(10090, 10, 3, 16, 1, 1);
    std::vector<double> values = values_of(random_bytes(2 * 1500, 5), 16, 1);
    values.resize(5000, 0.0);
    const audio_format format = pcm_format(1, 10090, 16);
    EXPECT_EQ(decode_values(format, values, config), decode_values(format, values, config, true));
}

}  // namespace
