// The decode report: the hint for a run that decoded nothing, the time format, carrier
// segments built from bytes, the collector's bounded columns, the lines, and the map (an XML
// parser reads it; a damaged stretch must show as a red mark at its time).

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "audio/sample_buffer.h"
#include "base/error.h"
#include "demod/framing.h"
#include "mod/synth.h"
#include "report/json.h"
#include "report/lines.h"
#include "report/map.h"
#include "report/report.h"

namespace {

// The synthesizer's mono 16-bit samples as fractions of full scale, each frame repeated on
// `channels` channels, the signal on `signal_channel` and silence on the others.
std::vector<double> signal_samples(const synth_settings& s, std::size_t payload_length,
                                   std::int32_t channels = 1, std::int32_t signal_channel = 0) {
    std::vector<std::uint8_t> payload(payload_length);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::vector<std::uint8_t> pcm = synthesize_samples(payload, s);
    std::vector<double> out(pcm.size() / 2 * static_cast<std::size_t>(channels), 0.0);
    for (std::size_t i = 0; i < pcm.size() / 2; ++i) {
        const auto v = static_cast<std::int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
        out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(signal_channel)] =
            v / 32768.0;
    }
    return out;
}

// Fed in pieces of an awkward size, as a decoder reading in pieces would.
void feed(report_collector& c, const std::vector<double>& samples) {
    const std::size_t piece = 3001 * static_cast<std::size_t>(c.settings.channels);
    for (std::size_t at = 0; at < samples.size(); at += piece)
        collect_samples(c, {samples.data() + at, std::min(piece, samples.size() - at)});
}

struct hint_case {
    const char* name;
    synth_settings signal;  // amplitude 0: digital silence
    std::int32_t channels;
    std::int32_t signal_channel;
    std::string expected;
};

void PrintTo(const hint_case& h, std::ostream* os) {
    *os << h.name;
}

synth_settings tones(double amplitude, std::int32_t baud, std::int32_t lower) {
    synth_settings s;
    s.amplitude = amplitude;
    s.baud_rate = baud;
    s.lower_tone = lower;
    s.leader_bits = baud / 2;
    s.gap_bits = 2;
    return s;
}

synth_settings noise(double deviation) {
    synth_settings s = tones(0.0001, 1200, 1200);
    s.noise = deviation;
    return s;
}

class NoBytesHint : public testing::TestWithParam<hint_case> {};

TEST_P(NoBytesHint, NamesTheMeasuredReason) {
    const hint_case& h = GetParam();
    std::vector<double> samples = signal_samples(h.signal, 60, h.channels, h.signal_channel);
    if (h.signal.amplitude == 0.0) std::fill(samples.begin(), samples.end(), 0.0);
    report_settings s;  // the defaults: 1200 baud on 1200/2400 Hz, threshold 0.15
    s.channels = h.channels;
    s.total_frames = samples.size() / static_cast<std::size_t>(h.channels);
    report_collector c = make_report_collector(s);
    feed(c, samples);
    finish_report(c);
    EXPECT_EQ(no_bytes_hint(c).value_or("(none)"), h.expected);
}

const std::string no_bytes = "fskdec: no bytes decoded: ";

INSTANTIATE_TEST_SUITE_P(
    Report, NoBytesHint,
    testing::Values(
        hint_case{"SilentSaysNothing", tones(0.0, 1200, 1200), 1, 0, "(none)"},
        hint_case{"TooQuiet", tones(0.08, 1200, 1200), 1, 0,
                  no_bytes + "the strongest tone measures 0.04 of full scale, below the "
                             "threshold 0.15 (a peak of 0.30); try -r or -t 0.03"},
        hint_case{"Noise", noise(0.1), 1, 0,
                  no_bytes + "no tone pair stands out of its sound (peaks of 0.50 of full scale, "
                             "its tones measure 0.03); check -b and -w, or the recording"},
        hint_case{"OtherChannel", tones(0.6, 1200, 1200), 2, 1,
                  no_bytes + "the signal is on channel 2 (0.31 of full scale there, 0.00 on "
                             "channel 1); try -c 2"},
        hint_case{"OtherCarrier", tones(0.6, 1200, 2400), 1, 0,
                  no_bytes + "its tones look like 2400/4800 Hz, not 1200/2400 Hz; try -w 2400"},
        hint_case{"OtherBaud", tones(0.6, 300, 1200), 1, 0,
                  no_bytes + "its bits look like 300 baud, not 1200; try -b 300"},
        hint_case{"OtherBaudAndCarrier", tones(0.6, 600, 600), 1, 0,
                  no_bytes + "its tones look like 600/1200 Hz at about 600 baud, not 1200/2400 "
                             "Hz; try -b 600 -w 600"},
        hint_case{"LoudButUnframed", tones(0.6, 1200, 1200), 1, 0,
                  no_bytes + "its tones measure 0.31 of full scale, yet no byte was framed; try "
                             "-p or -r"}),
    [](const testing::TestParamInfo<hint_case>& info) { return std::string(info.param.name); });

struct time_case {
    std::uint64_t frame;
    std::int32_t rate;
    const char* text;
};

TEST(Report, FormatsTimesToTheMillisecond) {
    const time_case cases[] = {
        {0, 44100, "0:00.000"},
        {22, 44100, "0:00.000"},  // 0.4989 ms
        {23, 44100, "0:00.001"},  // 0.5215 ms
        {44100 * 61 + 22050, 44100, "1:01.500"},
        {3723004, 1000, "1:02:03.004"},
        {7199999, 2000, "1:00:00.000"},  // 59:59.9995 rounds up
        {599999, 1000, "9:59.999"},
    };
    for (const time_case& t : cases)
        EXPECT_EQ(format_time(t.frame, t.rate), t.text) << t.frame << " at " << t.rate;
}

report_byte byte_at(std::uint64_t frame, double level = 0.25, double confidence = not_measured,
                    bool framing_error = false) {
    report_byte b;
    b.start_frame = frame;
    b.level = level;
    b.confidence = confidence;
    b.framing_error = framing_error;
    return b;
}

TEST(Report, BuildsSegmentsFromBytes) {
    report_settings s;  // a byte is 10 bits of 36.75 frames; more than 3 bytes apart splits
    const std::vector<report_byte> bytes = {byte_at(1000, 0.2), byte_at(1400, 0.3),
                                            byte_at(1400 + 1102), byte_at(100000, 0.1)};
    const std::vector<report_segment> segments = segments_from_bytes(bytes, s);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[0].start_frame, 1000u);
    EXPECT_EQ(segments[0].end_frame, 2502u + byte_frames(s));  // its last byte's end
    EXPECT_EQ(segments[0].bytes, 3u);
    EXPECT_DOUBLE_EQ(segments[0].level, 0.5);  // twice the mean magnitude: the peak
    EXPECT_EQ(segments[1].start_frame, 100000u);
    EXPECT_EQ(segments[1].bytes, 1u);
    EXPECT_EQ(segment_line(s, segments[1]),
              "fskdec: carrier 0:02.268-0:02.275: 1 byte, -14.0 dBFS");
}

TEST(Report, KeepsItsColumnsBoundedOnALongStream) {
    report_settings s;  // length unknown in advance: the columns must widen as it grows
    report_collector c = make_report_collector(s);
    std::vector<double> block(1 << 16);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = 0.5 * std::sin(0.3 * static_cast<double>(i));
    const std::size_t blocks = 600;  // 39 million frames, about 15 minutes
    for (std::size_t k = 0; k < blocks; ++k) {
        collect_samples(c, block);
        collect_byte(c, byte_at(k * block.size()));
        ASSERT_LE(c.columns.size(), max_columns);
    }
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
    for (const report_column& col : c.columns) {
        frames += col.frames;
        bytes += col.bytes;
    }
    EXPECT_EQ(frames, blocks * block.size());
    EXPECT_EQ(bytes, blocks);
    EXPECT_GT(c.columns.size(), max_columns / 2);
    collect_byte(c, byte_at(std::uint64_t{1} << 50));  // a far outlier widens, never grows
    EXPECT_LE(c.columns.size(), max_columns);
    EXPECT_FLOAT_EQ(c.columns[0].high, 0.5f);
}

TEST(Report, WarnsOfDoubtfulBytesWithTheirPositions) {
    report_settings s;
    s.recovery = true;
    report_collector c = make_report_collector(s);
    for (std::uint64_t i = 0; i < 10; ++i) {
        report_byte b = byte_at(44100 * (i + 1), 0.3, i < 7 ? 0.2 : 0.9, i == 1);
        b.offset = i;
        b.value = 0x41;
        collect_byte(c, b);
        if (i == 1) {
            EXPECT_EQ(doubtful_byte_line(s, b),
                      "fskdec: doubtful byte at 0:02.000, offset 1: 0x41, confidence 0.20, "
                      "framing error");
        }
    }
    EXPECT_EQ(doubtful_warning(c).value_or(""),
              "fskdec: 7 doubtful bytes (framing errors or confidence below 0.5), first at "
              "0:01.000 (offset 0), 0:02.000 (offset 1), 0:03.000 (offset 2), 0:04.000 (offset "
              "3), 0:05.000 (offset 4), ...");
    report_segment seg;
    seg.end_frame = 44100 * 11;
    seg.bytes = 10;
    seg.framing_errors = 1;
    seg.level = 0.5;
    seg.snr_db = 20.0;
    seg.speed = -0.012;
    seg.polarity = -1;
    collect_segment(c, seg);
    EXPECT_EQ(segment_line(s, seg),
              "fskdec: carrier 0:00.000-0:11.000: 10 bytes, -6.0 dBFS, SNR 20.0 dB, speed "
              "-1.2 %, polarity inverted, 1 framing error");
    EXPECT_EQ(summary_line(c),
              "fskdec: 10 bytes in 1 segment (carrier 0:11.000 of 0:11.000), 7 doubtful, 1 "
              "framing error, mean confidence 0.41, peak -inf dBFS; 1200 baud, 1200/2400 Hz, "
              "channel 1 of 1");
}

// -r told nothing: each segment says the signal measured, the summary the signals heard
// (the same signal twice listed once, an echo's not at all).
TEST(Report, SaysTheSignalsMeasured) {
    report_settings s;
    s.recovery = true;
    s.measured_signal = true;
    report_collector c = make_report_collector(s);
    EXPECT_NE(summary_line(c).find("; no signal measured, channel"), std::string::npos);
    const auto measured = [](double baud, double speed, double lower, double upper) {
        report_segment seg;
        seg.end_frame = 44100;
        seg.baud = baud;
        seg.speed = speed;
        seg.lower_tone = lower;
        seg.upper_tone = upper;
        return seg;
    };
    const report_segment slow = measured(299.1, -0.003, 1187.4, 2412.2);
    EXPECT_EQ(segment_line(s, slow),
              "fskdec: carrier 0:00.000-0:01.000: 0 bytes, 300 baud (-0.3 %), tones 1187/2412 "
              "Hz, 0 framing errors");
    EXPECT_EQ(segment_line(s, measured(1013.0, not_measured, 2000.0, 4100.0)),
              "fskdec: carrier 0:00.000-0:01.000: 0 bytes, 1013 baud, tones 2000/4100 Hz, 0 "
              "framing errors");
    collect_segment(c, slow);
    collect_segment(c, measured(301.0, 0.0033, 1190.0, 2410.0));
    report_segment echo = measured(1200.0, 0.0, 2400.0, 4800.0);
    echo.echo = true;
    collect_segment(c, echo);
    collect_segment(c, measured(2400.0, 0.0, 2400.0, 4800.0));
    EXPECT_NE(summary_line(c).find(
                  "; measured 300 baud on 1190/2410 Hz, 2400 baud on 2400/4800 Hz, channel"),
              std::string::npos)
        << summary_line(c);
}

// The x positions of the red marks in a parsed map.
std::vector<double> mark_positions(xmlNode* node) {
    std::vector<double> out;
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) continue;
        xmlChar* cls = xmlGetProp(node, reinterpret_cast<const xmlChar*>("class"));
        if (cls != nullptr && std::string(reinterpret_cast<char*>(cls)) == "mark") {
            xmlChar* x = xmlGetProp(node, reinterpret_cast<const xmlChar*>("x"));
            xmlChar* w = xmlGetProp(node, reinterpret_cast<const xmlChar*>("width"));
            out.push_back(std::stod(reinterpret_cast<char*>(x)) +
                          std::stod(reinterpret_cast<char*>(w)) / 2.0);
            xmlFree(x);
            xmlFree(w);
        }
        xmlFree(cls);
        const std::vector<double> inner = mark_positions(node->children);
        out.insert(out.end(), inner.begin(), inner.end());
    }
    return out;
}

TEST(Report, DrawsAWellFormedMapThatMarksTheDamage) {
    synth_settings signal = tones(0.6, 1200, 1200);
    signal.gap_bits = 40;
    report_settings s;
    s.recovery = true;
    s.name = "tape <A&B> \"side 1\"";
    const std::vector<double> samples = signal_samples(signal, 300);
    s.total_frames = samples.size();
    report_collector c = make_report_collector(s);
    feed(c, samples);
    // Bytes every 49 bits as the synthesizer wrote them, the damaged ones around byte 200.
    const double byte_frames_exact = 49.0 * 44100 / 1200;
    const std::uint64_t first = 600 * 44100 / 1200;
    for (std::uint64_t i = 0; i < 300; ++i) {
        const bool damaged = i >= 200 && i < 204;
        collect_byte(c, byte_at(first + static_cast<std::uint64_t>(i * byte_frames_exact), 0.3,
                                damaged ? 0.1 : 0.95, damaged && i == 201));
    }
    const std::string svg = map_svg(c);
    xmlDoc* doc = xmlReadMemory(svg.data(), static_cast<int>(svg.size()), "map.svg", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    ASSERT_NE(doc, nullptr) << svg.substr(0, 400);
    xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(root->name)), "svg");
    const std::vector<double> marks = mark_positions(root->children);
    xmlFreeDoc(doc);

    ASSERT_EQ(marks.size(), 1u);
    const double damaged_at = static_cast<double>(first) + 201.5 * byte_frames_exact;
    const double expected_x =
        map_plot_left + damaged_at / static_cast<double>(c.totals.frames) * map_plot_width;
    EXPECT_NEAR(marks[0], expected_x, 3.0);
    EXPECT_NE(svg.find("tape &lt;A&amp;B&gt; &quot;side 1&quot;"), std::string::npos);
    EXPECT_EQ(svg.find("<script"), std::string::npos);
}

// Runs the fuzzer found: settings the report must refuse, a tone whose double overflows an
// int, and a recording so long at so low a rate that the axis drew a tick every ten hours.
TEST(Report, RefusesUnusableSettings) {
    for (const auto& [rate, baud, tone] :
         {std::tuple{0, 1200, 1200}, {44100, 0, 1200}, {44100, 1200, -1200}}) {
        report_settings s;
        s.sample_rate = rate;
        s.baud_rate = baud;
        s.lower_tone = tone;
        EXPECT_THROW(make_report_collector(s), fskdec_error) << rate << " " << baud << " " << tone;
    }
}

TEST(Report, NamesAnUpperToneBeyondAnInt) {
    report_settings s;
    s.lower_tone = 1500000000;
    s.baud_rate = 1500000000;
    const report_collector c = make_report_collector(s);
    EXPECT_NE(summary_line(c).find("1500000000/3000000000 Hz"), std::string::npos)
        << summary_line(c);
}

// A figure far out of range is written whole, not cut into text that is no JSON number
// (fuzz_report found a speed of 5e64 written as "5464...480.").
TEST(Report, WritesAnyFigureWholeInJson) {
    report_settings s;
    s.recovery = true;
    report_segment segment;
    segment.end_frame = 44100;
    segment.speed = 1e300;
    const std::string item = json_segment(s, segment, 0, 0, 0);
    const auto at = item.find("\"speed\": ") + 9;
    EXPECT_EQ(std::stod(item.substr(at, item.find(',', at) - at)), 1e300) << item;
}

TEST(Report, KeepsTheAxisToTenTicksOnAnyLength) {
    report_settings s;
    s.sample_rate = 8;
    s.baud_rate = 1;
    s.lower_tone = 1;
    report_collector c = make_report_collector(s);
    collect_byte(c, byte_at(std::uint64_t{1} << 40));  // about 4,000 years at 8 Hz
    const std::string svg = map_svg(c);
    const std::string::size_type ticks = svg.find("<g class=\"ticks\"");
    ASSERT_NE(ticks, std::string::npos);
    std::size_t labels = 0;
    for (auto at = svg.find("<text", ticks);
         at != std::string::npos && at < svg.find("</g>", ticks); at = svg.find("<text", at + 1))
        ++labels;
    EXPECT_GE(labels, 2u);
    EXPECT_LE(labels, 11u);
}

}  // namespace

TEST(Report, EscapesTextForXml) {
    const std::pair<std::string, std::string> cases[] = {
        {"a<b>&\"'", "a&lt;b&gt;&amp;&quot;&apos;"},
        {"tab\tnl\nbell\a", "tab\tnl\nbell"},                      // control characters dropped
        {"caf\xC3\xA9", "caf\xC3\xA9"},                            // UTF-8 kept
        {"\xFF\xFE.wav", "\xEF\xBF\xBD\xEF\xBF\xBD.wav"},          // not UTF-8: replaced
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // U+FFFE, no XML character
        {"cut \xC3", "cut \xEF\xBF\xBD"},                          // a sequence cut short
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(xml_escape(text), escaped) << text;
}

// The signal survey and what it tells: recordings synthesized at a known bit rate, tones,
// phase and speed (a recording made at `speed` times the rate it claims plays that much
// slower), decoded by the exact decoder with the settings given, the report fed alongside.
namespace {

struct run_case {
    const char* name;
    std::int32_t baud, tone, rate;  // what the recording holds
    double speed = 1.0;
    double phase = 0.0;
    double noise = 0.0;
    std::int32_t gap = 2;
    std::int32_t bits = 16;
    std::int32_t read_baud = 1200, read_tone = 1200, sign = 1;  // the decoder's settings
    const char* says = "";  // a part of the warning or hint; "" for none at all
};

void PrintTo(const run_case& c, std::ostream* os) {
    *os << c.name;
}

struct surveyed_run {
    measured_carrier carrier;
    std::string said;  // the warning, or the hint when no byte came
};

surveyed_run survey_run(const run_case& c, double amplitude = 0.66) {
    synth_settings s;
    s.sample_rate = static_cast<std::int32_t>(std::lround(c.rate * c.speed));
    s.baud_rate = c.baud;
    s.lower_tone = c.tone;
    s.phase_degrees = c.phase;
    s.noise = c.noise;
    s.gap_bits = c.gap;
    s.quantization_bit = c.bits;
    s.amplitude = amplitude;
    s.leader_bits = c.baud / 2;
    s.trailer_bits = 20;
    s.seed = 7;
    std::vector<std::uint8_t> payload(200);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 73 + 29);
    std::vector<double> samples = synthesize_values(payload, s);
    // As the file would hold them.
    const double step = c.bits == 8 ? 128.0 : 32768.0;
    for (double& x : samples)
        x = std::round(x * step) / step;

    const audio_format format{1, c.rate, 1.0};
    sample_buffer source(format, samples);
    const demod_config config = make_demod_config(format, {c.read_baud, c.read_tone, c.sign}, 0.15);
    sample_window window = make_sample_window(source, 0, detector_history(config), c.sign < 0);
    report_settings r;
    r.sample_rate = c.rate;
    r.baud_rate = c.read_baud;
    r.lower_tone = c.read_tone;
    r.phase_sign = c.sign;
    report_collector collector = make_report_collector(r);
    window.observe = [&](std::span<const double> piece) { collect_samples(collector, piece); };
    exact_decoder decoder = prepare_exact_decoder(window, config);
    decode_bytes(
        window, decoder,
        [&](const framed_byte& b) { collect_byte(collector, byte_at(b.start_frame)); },
        [&](std::uint64_t from, std::uint64_t to) { collect_tone(collector, from, to); });
    count_frames(window);
    finish_report(collector);
    surveyed_run out;
    out.carrier = survey_channel(collector.survey, 0).carrier;
    out.said = mismatch_warning(collector).value_or(no_bytes_hint(collector).value_or(""));
    return out;
}

class Survey : public testing::TestWithParam<run_case> {};

// The figures measured are the recording's, whatever the decoder was set to.
TEST_P(Survey, MeasuresRateTonesAndPhase) {
    const run_case& c = GetParam();
    const measured_carrier m = survey_run(c).carrier;
    const double baud = c.baud / c.speed;
    EXPECT_NEAR(m.baud, baud, 0.003 * baud);
    EXPECT_EQ(m.nominal_baud, c.baud);
    EXPECT_NEAR(m.lower_tone, c.tone / c.speed, 0.01 * c.tone);
    EXPECT_NEAR(m.upper_tone, 2.0 * c.tone / c.speed, 0.01 * c.tone);
    const double off = std::remainder(m.lower_phase - c.phase, 360.0);
    EXPECT_LT(std::fabs(off), 20.0) << m.lower_phase;
    EXPECT_NEAR(m.level, 0.66, 0.03);
}

INSTANTIATE_TEST_SUITE_P(
    Report, Survey,
    testing::Values(run_case{"Default", 1200, 1200, 44100},
                    run_case{"Slow300On2400", 300, 2400, 48000, 1.02, 270.0},
                    run_case{"Fast2400Trough", 2400, 2400, 22050, 0.98, 180.0},
                    run_case{"Falling600At8k", 600, 600, 8000, 1.0, 90.0, 0.0, 0, 8},
                    run_case{"Noisy1200", 1200, 1200, 48000, 1.0, 0.0, 0.03}),
    [](const testing::TestParamInfo<run_case>& info) { return std::string(info.param.name); });

class Warning : public testing::TestWithParam<run_case> {};

TEST_P(Warning, SpeaksOnlyWhenTheSettingsDoNotMatch) {
    const run_case& c = GetParam();
    const std::string said = survey_run(c).said;
    if (std::string(c.says).empty()) {
        EXPECT_EQ(said, "");
    } else {
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Report, Warning,
    testing::Values(
        run_case{"Matches", 1200, 1200, 44100},
        run_case{"MatchesNoisy", 1200, 1200, 44100, 1.0, 0.0, 0.1},
        run_case{"MatchesSlow", 1200, 1200, 44100, 1.02},
        run_case{"MatchesFast", 1200, 1200, 16000, 0.98},
        run_case{"MatchesWithoutIdleBits", 1200, 1200, 44100, 1.0, 0.0, 0.0, 0},
        // Bytes run into each other here, as they do with wrong settings.
        run_case{"MatchesWithoutIdleBitsSlow", 1200, 1200, 44100, 1.02, 0.0, 0.05, 0},
        run_case{"MatchesWithoutIdleBitsNoisy", 300, 300, 11025, 1.0, 0.0, 0.08, 0, 16, 300, 300},
        run_case{"Matches8Bit", 1200, 1200, 11025, 1.0, 0.0, 0.0, 2, 8},
        run_case{"Matches300At8k", 300, 300, 8000, 0.98, 0.0, 0.02, 0, 8, 300, 300},
        run_case{"Matches2400At96k", 2400, 2400, 96000, 1.02, 0.0, 0.0, 0, 16, 2400, 2400},
        run_case{"MatchesNegated", 1200, 1200, 48000, 1.0, 270.0, 0.0, 2, 16, 1200, 1200, -1},
        run_case{"SinePhase", 1200, 1200, 48000, 1.0, 270.0, 0.0, 2, 16, 1200, 1200, 1,
                 "crossing zero rising at the bit boundaries (phase 2"},
        run_case{"At8k", 1200, 1200, 8000, 1.0, 0.0, 0.0, 2, 16, 1200, 1200, 1,
                 "fskdec: the bytes are likely wrong: its bits measure 1200 baud, but at 8000 Hz "
                 "the decoder reads 6 frames a bit (1333 baud); try -r"},
        run_case{"Read300At1200", 300, 1200, 44100, 1.0, 0.0, 0.0, 2, 16, 1200, 1200, 1,
                 "fskdec: the bytes are likely wrong: its bits measure 300 baud, not 1200; try -b "
                 "300"},
        run_case{"Read2400At1200", 1200, 2400, 44100, 1.0, 0.0, 0.0, 2, 16, 1200, 1200, 1,
                 "its tones look like 2400/4800 Hz, not 1200/2400 Hz; try -w 2400"},
        run_case{"Read300On2400", 300, 2400, 44100, 1.0, 0.0, 0.0, 2, 16, 1200, 1200, 1,
                 "try -b 300 -w 2400"},
        run_case{"Read4800At48k", 4800, 4800, 48000, 1.0, 0.0, 0.0, 2, 16, 1200, 1200, 1,
                 "its tones look like 4800/9"}),
    [](const testing::TestParamInfo<run_case>& info) { return std::string(info.param.name); });
// clang-format on

// A tape of two blocks, 1200 baud then 300 baud, a second of silence between: two carriers,
// each with its own rate, in the order they come.
TEST(Report, SurveyListsEachRatesCarrier) {
    std::vector<double> samples = signal_samples(tones(0.6, 1200, 1200), 300);
    samples.resize(samples.size() + 44100, 0.0);
    const std::vector<double> slow = signal_samples(tones(0.6, 300, 1200), 150);
    samples.insert(samples.end(), slow.begin(), slow.end());
    report_settings r;
    report_collector c = make_report_collector(r);
    feed(c, samples);
    const std::vector<measured_carrier> carriers = survey_channel(c.survey, 0).carriers;
    ASSERT_EQ(carriers.size(), 2u);
    EXPECT_NEAR(carriers[0].baud, 1200.0, 2.0);
    EXPECT_NEAR(carriers[1].baud, 300.0, 0.5);
    EXPECT_LT(carriers[0].end_frame, carriers[1].start_frame);
    EXPECT_EQ(measured_text(carriers[1]), "300 baud (+0.0 %), tones 1200/2400 Hz, phase 0");
}

// Float samples near the largest double (their squares overflow): figures may be infinite,
// never a crash or an undefined cast (the sanitizer build checks).
TEST(Report, SurveyTakesExtremeSamples) {
    std::vector<double> samples(44100);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = (i / 18 % 2 ? -1.0 : 1.0) * 1.7e308;
    report_settings r;
    report_collector c = make_report_collector(r);
    feed(c, samples);
    collect_byte(c, byte_at(100));
    EXPECT_EQ(mismatch_warning(c), std::nullopt);
    c.totals.bytes = 0;
    EXPECT_NE(no_bytes_hint(c).value_or(""), "");
}

// A quiet recording (tones peaking at 0.05) with a burst of loud noise: the percentiles see
// through the burst to the tones, and the hint proposes a threshold for them.
TEST(Report, HintSeesTheTonesPastANoiseBurst) {
    synth_settings s = tones(0.05, 1200, 1200);
    std::vector<double> samples = signal_samples(s, 200);
    std::uint64_t state = 99;
    const std::size_t burst = 44100 * 3 / 20;  // 150 ms
    for (std::size_t i = 0; i < burst; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        samples[20000 + i] += 0.22 * (static_cast<double>(state >> 11) * 0x1.0p-53 * 2.0 - 1.0);
    }
    report_settings r;
    r.total_frames = samples.size();
    report_collector c = make_report_collector(r);
    feed(c, samples);
    finish_report(c);
    EXPECT_EQ(no_bytes_hint(c).value_or(""),
              no_bytes +
                  "the strongest tone measures 0.02 of full scale, below the threshold "
                  "0.15 (a peak of 0.30); try -r or -t 0.02");
}

}  // namespace
