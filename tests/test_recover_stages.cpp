// The recovery demodulator's stages on their own, and the situations real transfers bring
// (hiss, level steps, blocks without a leader, print-through) end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "impair.h"
#include "recover/byte_hold.h"
#include "recover/carrier_detector.h"
#include "recover/echo_gate.h"
#include "recover/level_tracker.h"
#include "recover/recover.h"
#include "recover/resync.h"
#include "recover/segment_stats.h"

namespace {

TEST(LevelTracker, LearnsFromClearBitsOnlyAndForgetsAtReset) {
    level_tracker t;
    learn_bit(t, 0.01, 0.02, 0.5, 0.1);  // hiss: not clear enough to teach anything
    EXPECT_FALSE(t.upper_heard || t.lower_heard);
    learn_bit(t, 0.1, 2.0, 0.9, 0.9);  // the leader: the upper tone, the lower taken at it
    EXPECT_DOUBLE_EQ(t.upper, 2.0);
    EXPECT_DOUBLE_EQ(t.lower, 2.0);
    learn_bit(t, 0.5, 0.05, -0.9, 0.9);  // a start bit: the lower tone's own level
    EXPECT_DOUBLE_EQ(t.lower, 0.5);
    EXPECT_DOUBLE_EQ(t.upper, 2.0);
    reset(t);  // the carrier ended: the next one learns its own
    EXPECT_FALSE(t.upper_heard || t.lower_heard);
    EXPECT_DOUBLE_EQ(t.lower, 1.0);
    EXPECT_DOUBLE_EQ(t.upper, 1.0);
}

// A block rising 30 dB out of an echo: its tone is learnt anew at once, the echo's other tone
// forgotten; a smaller rise, or a fall, is followed bit by bit.
TEST(LevelTracker, LearnsATone30dBUpAnew) {
    level_tracker t;
    learn_bit(t, 0.1, 0.01, -0.9, 0.9);
    learn_bit(t, 0.01, 0.1, 0.9, 0.9);
    learn_bit(t, 0.1, 0.5, 0.9, 0.9);  // 14 dB up: followed
    EXPECT_DOUBLE_EQ(t.upper, 0.1 + 0.4 * 0.15);
    learn_bit(t, 0.1, 0.01, 0.9, 0.9);  // down: followed
    EXPECT_DOUBLE_EQ(t.upper, 0.16 - 0.15 * 0.15);
    learn_bit(t, 0.1, 3.0, 0.9, 0.9);  // 30 dB up: another carrier's
    EXPECT_DOUBLE_EQ(t.upper, 3.0);
    EXPECT_FALSE(t.lower_heard);
    EXPECT_DOUBLE_EQ(t.lower, 3.0);
}

TEST(CarrierDetector, BeginsOnCleanBitsAndEndsInHiss) {
    carrier_detector c;
    int began = 0;
    for (int k = 1; k <= 20 && began == 0; ++k)
        if (feed(c, 0.95, 1.0, 100u * k) == carrier_change::began) began = k;
    EXPECT_EQ(began, 7);  // the tone fit's average passes a half on the seventh clean bit
    EXPECT_EQ(c.run_start, 100u);
    int ended = 0;
    for (int k = 1; k <= 20 && ended == 0; ++k)
        if (feed(c, 0.05, 0.2, 5000u + 100u * k) == carrier_change::ended) ended = k;
    EXPECT_EQ(ended, 4);
    EXPECT_EQ(c.last_good, 700u);  // the segment ends at its last good bit
    EXPECT_FALSE(c.on);
}

// Noise leaves both tones' bits with energy in the losing correlator; a mistuned tone (its
// leak into the other's correlator) only its own bits: that carrier is not noisy.
TEST(SegmentStats, NoisyOnlyWhenBothTonesAre) {
    struct row {
        const char* name;
        double lose_space, lose_mark;  // the losing magnitude against a winning 1
        bool noisy;
    };
    for (const row r : {row{"clean", 0.01, 0.01, false}, row{"white noise", 0.3, 0.3, true},
                        row{"upper tone mistuned", 0.01, 0.35, false},
                        row{"lower tone mistuned", 0.35, 0.01, false}}) {
        segment_stats s;
        begin_segment(s, 0);
        for (int k = 0; k < 40; ++k) {
            const bool mark = k % 2 == 1;
            add_bit(s, 0.5, 1.0, mark ? r.lose_mark : r.lose_space, mark);
            if (k == 10) {
                EXPECT_FALSE(is_noisy(s)) << r.name << ": too few bits to tell";
            }
        }
        EXPECT_EQ(is_noisy(s), r.noisy) << r.name;
    }
}

std::vector<bool> bits_of(const std::vector<std::uint8_t>& bytes, int gap) {
    std::vector<bool> out;
    for (const std::uint8_t b : bytes) {
        out.push_back(false);
        for (int k = 0; k < 8; ++k)
            out.push_back((b >> k) & 1);
        out.insert(out.end(), gap, true);
    }
    return out;
}

TEST(Resync, ChoosesTheStartBitThatFramesTheStream) {
    gap_statistics gaps;
    for (int k = 0; k < 20; ++k)
        learn_gap(gaps, 1);
    const std::vector<bool> stream =
        bits_of({0x5a, 0x00, 0x3c, 0xa5, 0x81, 0x7e, 0x10, 0x42, 0x99, 0x66, 0x24, 0xdb}, 1);
    // From the middle of the first byte's data bits: the next start bit is at bit 10 - 5.
    std::vector<bool> marks(stream.begin() + 5, stream.end());
    std::vector<char> as_chars(marks.begin(), marks.end());
    const std::span<const bool> span(reinterpret_cast<const bool*>(as_chars.data()),
                                     as_chars.size());
    EXPECT_EQ(choose_start(gaps, span, 20), 5);
    // Only marks within reach: no start bit to choose.
    const std::vector<char> idle(30, 1);
    EXPECT_EQ(choose_start(gaps, {reinterpret_cast<const bool*>(idle.data()), idle.size()}, 20),
              std::nullopt);
}

// The start after a byte, from the soft bits after its stop bit's place (clear bits at 0.9).
TEST(Resync, ChoosesTheNextStartFromTheBytesAfterIt) {
    const auto soft = [](const std::vector<bool>& bits) {
        std::vector<double> m;
        for (const bool b : bits)
            m.push_back(b ? 0.9 : -0.9);
        return m;
    };
    const std::vector<std::uint8_t> bytes = {0x5a, 0xc3, 0x96, 0x0f};
    std::vector<double> gap2 = soft(bits_of(bytes, 2));
    gap2.insert(gap2.begin(), {0.9, 0.9});
    // No idle bits, the start bit after the byte heard faintly as a mark: the first space is
    // the next byte's first data bit, and only the bytes after it tell that the faint bit
    // was the start (framed from that space, the next start would be nine marks on).
    std::vector<double> faint = soft(bits_of({0xfe, 0xff, 0xff, 0xff}, 0));
    faint[0] = 0.1;
    const struct {
        const char* name;
        std::vector<double> margins;
        std::optional<int> gap;
    } cases[] = {
        {"two idle bits", gap2, 2},
        {"a faint start bit", faint, 0},
        {"a trailer", std::vector<double>(30, 0.9), std::nullopt},
        {"nothing heard", {}, std::nullopt},
    };
    const gap_statistics gaps;
    for (const auto& c : cases)
        EXPECT_EQ(choose_next_start(gaps, c.margins, 7, 30.0), c.gap) << c.name;
}

TEST(ByteHold, GivesBackTheOldestWhenFull) {
    byte_hold h = make_byte_hold(2);
    recovered_byte out;
    EXPECT_FALSE(push(h, {.value = 1}, out));
    EXPECT_FALSE(push(h, {.value = 2}, out));
    EXPECT_TRUE(push(h, {.value = 3}, out));
    EXPECT_EQ(out.value, 1);
    EXPECT_EQ(held_at(h, 0).value, 2);
    EXPECT_EQ(held_at(h, 1).value, 3);
    drop_oldest(h, 1);
    EXPECT_EQ(held_at(h, 0).value, 3);
}

TEST(EchoGate, RepeatedShareCountsByteTriples) {
    const std::uint8_t original[] = {1, 2, 3, 4, 5, 6};
    const std::uint8_t copy[] = {2, 3, 4, 9, 5, 6};  // one error in the middle
    EXPECT_DOUBLE_EQ(repeated_share(copy, 6, original, 6), 0.25);
    EXPECT_DOUBLE_EQ(repeated_share(original, 6, original, 6), 1.0);
    EXPECT_DOUBLE_EQ(repeated_share(copy, 2, original, 6), 0.0);
}

// An echo gate at 44.1 kHz and what it lets out.
struct gate_run {
    std::vector<std::uint8_t> out;
    std::vector<carrier_segment> segments;
    recover_sink sink{[this](const recovered_byte& b) { out.push_back(b.value); },
                      [this](const carrier_segment& s) { segments.push_back(s); }};
    echo_gate g = make_echo_gate(44100, 1.0);
    gate_run() = default;
    gate_run(const gate_run&) = delete;  // the sink points at this one
};

// A loud carrier, then within three seconds its copy 30 dB down, then a different weak one.
TEST(EchoGate, DropsAWeakCopyOfTheCarrierBeforeIt) {
    gate_run run;
    auto& [out, segments, sink, g] = run;
    const std::vector<std::uint8_t> block = {10, 20, 30, 40, 50, 60, 70, 80};
    const auto carrier = [&](std::uint64_t start, double level,
                             const std::vector<std::uint8_t>& bytes) {
        gate_carrier(g, start, level, sink);
        for (const std::uint8_t v : bytes)
            gate_byte(g, {.value = v, .start_frame = start}, level, sink);
        carrier_segment s{.start_frame = start, .end_frame = start + 44100, .bytes = bytes.size()};
        gate_end(g, s, true, sink);
    };
    carrier(0, 0.5, block);
    EXPECT_EQ(out, block);  // loud: never held
    carrier(2 * 44100, 0.5 * 0.03, block);
    const std::vector<std::uint8_t> other = {1, 2, 3, 4, 5};
    carrier(4 * 44100, 0.5 * 0.03, other);
    gate_time(g, 9 * 44100, sink);  // three seconds on, no louder carrier came
    std::vector<std::uint8_t> expected = block;
    expected.insert(expected.end(), other.begin(), other.end());
    EXPECT_EQ(out, expected);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_FALSE(segments[0].echo);
    EXPECT_TRUE(segments[1].echo);
    EXPECT_EQ(segments[1].bytes, 0u);
    EXPECT_FALSE(segments[2].echo);
}

// A weak carrier held (a louder one may follow it), then a weak copy of the loud one before
// both, dropped at once: its echo segment still comes after the held one's (found by
// fuzz_recover, where it came first).
TEST(EchoGate, ReportsAnEchoAfterTheWeakCarrierHeldBeforeIt) {
    gate_run run;
    auto& [out, segments, sink, g] = run;
    const std::vector<std::uint8_t> block = {10, 20, 30, 40, 50, 60, 70, 80};
    const std::vector<std::uint8_t> other = {1, 2, 3, 4, 5};
    const auto carrier = [&](std::uint64_t start, double level,
                             const std::vector<std::uint8_t>& bytes) {
        gate_carrier(g, start, level, sink);
        for (const std::uint8_t v : bytes)
            gate_byte(g, {.value = v, .start_frame = start}, level, sink);
        gate_end(g, {.start_frame = start, .end_frame = start + 22050, .bytes = bytes.size()}, true,
                 sink);
    };
    carrier(0, 0.5, block);
    carrier(44100, 0.5 * 0.03, other);
    carrier(2 * 44100, 0.5 * 0.03, block);
    gate_time(g, 9 * 44100, sink);
    std::vector<std::uint8_t> expected = block;
    expected.insert(expected.end(), other.begin(), other.end());
    EXPECT_EQ(out, expected);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[1].start_frame, 44100u);
    EXPECT_FALSE(segments[1].echo);
    EXPECT_EQ(segments[2].start_frame, 2u * 44100u);
    EXPECT_TRUE(segments[2].echo);
}

// The echo runs on from the end of its block within one carrier: the carrier is cut where
// its level falls 30 dB, the copy dropped, and the carrier's segment ends where the block did.
TEST(EchoGate, CutsAnEchoRunningOnFromItsBlock) {
    gate_run run;
    auto& [out, segments, sink, g] = run;
    const std::vector<std::uint8_t> block = {10, 20, 30, 40, 50, 60, 70, 80};
    gate_carrier(g, 0, 0.5, sink);
    std::uint64_t frame = 0;
    for (const double level : {0.5, 0.5 * 0.03}) {
        for (const std::uint8_t v : block) {
            gate_byte(g, {.value = v, .start_frame = frame}, level, sink);
            frame += 400;
        }
    }
    gate_end(g, {.start_frame = 0, .end_frame = frame, .bytes = 16}, true, sink);
    gate_finish(g, sink);
    EXPECT_EQ(out, block);
    // The block, then its echo: segments come out in the order of their starts (the echo was
    // reported first, before the carrier it ran on from had ended).
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_FALSE(segments[0].echo);
    EXPECT_EQ(segments[0].end_frame, 8u * 400u);
    EXPECT_EQ(segments[0].bytes, 8u);
    EXPECT_TRUE(segments[1].echo);
    EXPECT_EQ(segments[1].start_frame, 8u * 400u);
}

// Blocks closer than the echoes' delay: after block a, still in its carrier, the copy of the
// next block's end (24 dB down), a weak byte of the two copies overlapping, then a's own copy
// alone, then block b. The copies are dropped: the first waits for b with the byte after it
// and through a's copy, and is judged on all of b (not on b's first byte, still rising).
TEST(EchoGate, DropsTheEchoesBetweenCloseBlocks) {
    gate_run run;
    auto& [out, segments, sink, g] = run;
    const std::vector<std::uint8_t> a = {10, 20, 30, 40, 50, 60, 70, 80};
    const std::vector<std::uint8_t> b = {11, 22, 33, 44, 55, 66, 77, 88};
    std::uint64_t frame = 0;
    const auto bytes = [&](const std::uint8_t* v, std::size_t n, double level) {
        for (std::size_t k = 0; k < n; ++k, frame += 400)
            gate_byte(g, {.value = v[k], .start_frame = frame}, level, sink);
    };
    const auto end = [&](std::uint64_t start, std::uint64_t count) {
        gate_end(g, {.start_frame = start, .end_frame = frame, .bytes = count}, true, sink);
    };
    gate_carrier(g, frame, 0.5, sink);
    bytes(a.data(), 8, 0.5);
    bytes(b.data() + 4, 4, 0.03);
    end(0, 12);
    const std::uint8_t overlap = 99;
    frame = 30000;
    gate_carrier(g, frame, 0.03, sink);
    bytes(&overlap, 1, 0.03);
    end(30000, 1);
    frame = 44100;
    gate_carrier(g, frame, 0.03, sink);
    bytes(a.data(), 8, 0.03);
    end(44100, 8);
    frame = 2 * 44100;
    gate_carrier(g, frame, 0.12, sink);  // rising out of the echo
    bytes(b.data(), 1, 0.12);
    bytes(b.data() + 1, 7, 0.5);
    end(2 * 44100, 8);
    gate_finish(g, sink);
    std::vector<std::uint8_t> expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(std::count_if(segments.begin(), segments.end(),
                            [](const carrier_segment& s) { return s.echo; }),
              2);
}

// --- End to end.

struct decoded {
    std::vector<std::uint8_t> bytes;
    std::vector<carrier_segment> segments;
};

decoded recover(const std::vector<double>& x) {
    decoded out;
    const recover_sink sink{[&](const recovered_byte& b) { out.bytes.push_back(b.value); },
                            [&](const carrier_segment& s) { out.segments.push_back(s); }};
    recover_decoder d = make_recover_decoder(fsk_signal{}, 44100, 1.0);
    for (std::size_t i = 0; i < x.size(); i += 4096)
        recover_samples(d, {x.data() + i, std::min<std::size_t>(4096, x.size() - i)}, sink);
    recover_finish(d, sink);
    return out;
}

struct block_spec {
    double silence_before = 0.0;  // seconds
    double level = 0.4;           // peak
    int leader = 100;             // idle bits
};

struct situation {
    std::string name;
    std::vector<block_spec> blocks;
    double hiss_dbfs = -200.0;  // over the whole recording
    bool echoes = false;        // each block copied 30 dB down 1.5 s before and after
};

class RecoverSituation : public testing::TestWithParam<situation> {};

TEST_P(RecoverSituation, EveryBlockWholeInItsOwnSegment) {
    const situation& c = GetParam();
    random_source r{17};
    std::vector<double> x;
    std::vector<std::uint8_t> sent;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (const block_spec& b : c.blocks) {
        x.resize(x.size() + static_cast<std::size_t>(b.silence_before * 44100), 0.0);
        const std::vector<std::uint8_t> bytes = random_bytes(40, r);
        tone_settings tone;
        tone.amplitude = b.level;
        const std::vector<double> y = render_fsk(
            frame_bits(bytes, std::vector<int>(bytes.size(), 1), b.leader, 20), tone, time_warp{});
        spans.emplace_back(x.size(), x.size() + y.size());
        x.insert(x.end(), y.begin(), y.end());
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    x.resize(x.size() + 44100 / 2, 0.0);
    if (c.echoes) {
        std::vector<double> copy(x.size(), 0.0);
        const std::size_t shift = 44100 * 3 / 2;
        for (const auto& [from, to] : spans) {
            for (std::size_t n = from; n < to; ++n) {
                if (n >= shift) copy[n - shift] += 0.03 * x[n];
                if (n + shift < x.size()) copy[n + shift] += 0.03 * x[n];
            }
        }
        for (std::size_t n = 0; n < x.size(); ++n)
            x[n] += copy[n];
    }
    if (c.hiss_dbfs > -200.0) add_hiss(x, std::pow(10.0, c.hiss_dbfs / 20.0), 44100, r);
    const decoded out = recover(x);
    EXPECT_EQ(out.bytes, sent);
    std::size_t carriers = 0;
    for (const carrier_segment& s : out.segments) {
        if (s.echo) continue;
        ASSERT_LT(carriers, spans.size());
        // Within 20 ms of the block (its leader included).
        EXPECT_NEAR(static_cast<double>(s.start_frame), static_cast<double>(spans[carriers].first),
                    0.02 * 44100);
        EXPECT_NEAR(static_cast<double>(s.end_frame), static_cast<double>(spans[carriers].second),
                    0.02 * 44100);
        ++carriers;
    }
    EXPECT_EQ(carriers, spans.size());
}

INSTANTIATE_TEST_SUITE_P(
    Tapes, RecoverSituation,
    testing::Values(
        situation{.name = "HissBeforeALeader", .blocks = {{1.5, 0.4, 30}}, .hiss_dbfs = -45.0},
        situation{.name = "HissBeforeAShortLeader", .blocks = {{0.5, 0.4, 10}}, .hiss_dbfs = -50.0},
        situation{.name = "QuietBlockThenLoud",
                  .blocks = {{0.3, 0.4 * 0.056, 100}, {0.3, 0.4, 100}, {0.3, 0.4 * 0.1, 100}},
                  .hiss_dbfs = -55.0},
        situation{.name = "LeaderlessBlocks",
                  .blocks = {{0.3, 0.4, 0}, {0.3, 0.4, 0}, {0.3, 0.4, 0}},
                  .hiss_dbfs = -60.0},
        situation{.name = "TwoBlocksApartByHiss",
                  .blocks = {{0.5, 0.4, 50}, {2.0, 0.4, 50}},
                  .hiss_dbfs = -54.0},
        situation{.name = "TwoBlocksApartBy100ms", .blocks = {{0.5, 0.4, 50}, {0.1, 0.4, 50}}},
        situation{.name = "PrintThrough",
                  .blocks = {{2.0, 0.4, 100}, {3.5, 0.4, 100}},
                  .hiss_dbfs = -58.0,
                  .echoes = true}),
    [](const testing::TestParamInfo<situation>& info) { return info.param.name; });

TEST(RecoverSituation, LongHissGivesNothing) {
    random_source r{23};
    std::vector<double> x(44100 * 20, 0.0);
    add_hiss(x, std::pow(10.0, -40.0 / 20.0), 44100, r);
    const decoded out = recover(x);
    EXPECT_TRUE(out.bytes.empty());
    EXPECT_TRUE(out.segments.empty());
}

}  // namespace
