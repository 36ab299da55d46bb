#include "report/report.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "base/error.h"

void merge_column(report_column& into, const report_column& from) {
    if (from.frames > 0) {
        if (into.frames == 0) {
            into.low = from.low;
            into.high = from.high;
        } else {
            into.low = std::min(into.low, from.low);
            into.high = std::max(into.high, from.high);
        }
    }
    into.frames += from.frames;
    into.squares += from.squares;
    into.bytes += from.bytes;
    into.measured += from.measured;
    into.confidence_sum += from.confidence_sum;
    into.least_confidence = std::min(into.least_confidence, from.least_confidence);
    into.doubtful += from.doubtful;
    into.framing_errors += from.framing_errors;
    into.carrier_frames += from.carrier_frames;
    into.echo_frames += from.echo_frames;
}

namespace {

// The column holding `frame`, doubling the span until it fits within max_columns.
report_column& column_at(report_collector& c, std::uint64_t frame) {
    while (frame / c.span >= max_columns) {
        const std::size_t merged = (c.columns.size() + 1) / 2;
        for (std::size_t i = 0; i < merged; ++i) {
            report_column joined = c.columns[2 * i];
            if (2 * i + 1 < c.columns.size()) merge_column(joined, c.columns[2 * i + 1]);
            c.columns[i] = joined;
        }
        c.columns.resize(merged);
        c.span *= 2;
    }
    const auto index = static_cast<std::size_t>(frame / c.span);
    if (index >= c.columns.size()) c.columns.resize(index + 1);
    return c.columns[index];
}

void extend(report_collector& c, std::uint64_t end_frame) {
    c.totals.frames = std::max(c.totals.frames, end_frame);
}

void add_carrier(report_collector& c, const report_segment& s) {
    if (s.end_frame <= s.start_frame) return;
    column_at(c, s.end_frame - 1);  // widens first, so the indices below stay valid
    for (std::uint64_t i = s.start_frame / c.span; i <= (s.end_frame - 1) / c.span; ++i) {
        const std::uint64_t from = std::max(s.start_frame, i * c.span);
        const std::uint64_t to = std::min(s.end_frame, (i + 1) * c.span);
        report_column& column = c.columns[static_cast<std::size_t>(i)];
        (s.echo ? column.echo_frames : column.carrier_frames) += to - from;
    }
    // An echo's place is shown, but it is no carrier of the recording's data.
    if (s.echo) {
        extend(c, s.end_frame);
        return;
    }
    ++c.totals.segments;
    c.totals.carrier_frames += s.end_frame - s.start_frame;
    extend(c, s.end_frame);
}

// The largest |sample| in the columns that overlap frames from .. to - 1.
double column_peak(const report_collector& c, std::uint64_t from, std::uint64_t to) {
    double peak = 0.0;
    for (std::uint64_t i = from / c.span; i < c.columns.size() && i * c.span < to; ++i) {
        const report_column& col = c.columns[static_cast<std::size_t>(i)];
        if (col.frames > 0) peak = std::max({peak, -double{col.low}, double{col.high}});
    }
    return peak;
}

report_segment close_built(report_collector& c) {
    report_segment s = c.current;
    // A byte's level is the magnitude |X|/N of its tone, half the tone's peak amplitude. A
    // decoder that measures none leaves the samples' own peak.
    s.level = c.level_count > 0 ? 2.0 * c.level_sum / static_cast<double>(c.level_count)
                                : column_peak(c, s.start_frame, s.end_frame);
    c.building = false;
    add_carrier(c, s);
    return s;
}

// Adds frames from .. to - 1, where the decoder heard the carrier, to the segment being built
// from its decisions: a silence of more than segment_gap_frames less a byte between them and
// the segment's end closes the segment (returned) and starts another.
std::optional<report_segment> extend_built(report_collector& c, std::uint64_t from,
                                           std::uint64_t to) {
    std::optional<report_segment> closed;
    const std::uint64_t gap = c.silence_frames;
    if (c.building && from > c.current.end_frame + gap) closed = close_built(c);
    if (!c.building) {
        c.building = true;
        c.current = report_segment{};
        c.current.start_frame = from;
        c.current.end_frame = to;
        c.level_sum = 0.0;
        c.level_count = 0;
    }
    c.current.end_frame = std::max(c.current.end_frame, to);
    return closed;
}

}  // namespace

report_collector make_report_collector(const report_settings& settings) {
    // The figures divide by these: a run the decoders refuse has no report either.
    if (settings.sample_rate <= 0) throw fskdec_error("illegal sample rate");
    if (settings.baud_rate <= 0) throw fskdec_error("illegal baud rate");
    if (settings.lower_tone <= 0) throw fskdec_error("illegal carrier frequency");
    report_collector c;
    c.settings = settings;
    c.settings.channels = std::max(settings.channels, 1);
    if (!(settings.full_scale > 0.0)) c.settings.full_scale = 1.0;
    c.settings.channel = std::clamp(settings.channel, 0, c.settings.channels - 1);
    // A sixteenth of the columns stays spare for a byte or segment that ends past the last
    // sample, so that it does not halve the map's resolution.
    constexpr std::uint64_t planned = max_columns - max_columns / 16;
    c.span = std::max<std::uint64_t>(1, (settings.total_frames + planned - 1) / planned);
    c.columns.reserve(max_columns);
    c.signals.reserve(listed_signals);
    c.byte_length = byte_frames(c.settings);
    c.silence_frames = segment_gap_frames(c.settings) - c.byte_length;
    c.survey = make_tone_survey(settings.sample_rate, c.settings.channels, settings.baud_rate,
                                settings.lower_tone);
    return c;
}

namespace {

// The smallest and largest of `count` samples `stride` apart, and the sum of their squares.
struct envelope {
    double low = 0.0;
    double high = 0.0;
    double squares = 0.0;
};

using lanes = double __attribute__((vector_size(16)));

envelope envelope_of(const double* x, std::size_t stride, std::size_t count) {
    envelope e{x[0], x[0], 0.0};
    std::size_t i = 0;
    if (stride == 1 && count >= 2) {
        // Two lanes at a time: this runs on every frame of the recording.
        lanes low, high, squares = {0.0, 0.0};
        __builtin_memcpy(&low, x, sizeof low);
        high = low;
        for (; i + 2 <= count; i += 2) {
            lanes v;
            __builtin_memcpy(&v, x + i, sizeof v);
            low = v < low ? v : low;
            high = v > high ? v : high;
            squares += v * v;
        }
        e.low = std::min(low[0], low[1]);
        e.high = std::max(high[0], high[1]);
        e.squares = squares[0] + squares[1];
    }
    for (; i < count; ++i) {
        const double v = x[i * stride];
        e.low = std::min(e.low, v);
        e.high = std::max(e.high, v);
        e.squares += v * v;
    }
    return e;
}

// The per-frame work: a running extreme and sum of squares of the decoded channel per
// column, and the peak of the others, on the samples as they come; `scale` makes a sample a
// fraction of full scale.
void collect_block(report_collector& c, std::span<const double> samples, double scale) {
    const auto channels = static_cast<std::size_t>(c.settings.channels);
    const std::size_t frames = samples.size() / channels;
    const auto selected = static_cast<std::size_t>(c.settings.channel);
    const std::uint64_t begin = c.survey.position;  // frames of samples fed so far
    std::size_t f = 0;
    while (f < frames) {
        const std::uint64_t frame = begin + f;
        report_column& col = column_at(c, frame);
        const std::uint64_t column_end = (frame / c.span + 1) * c.span;
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames - f, column_end - frame));
        const envelope e = envelope_of(samples.data() + f * channels + selected, channels, piece);
        const auto lowest = static_cast<float>(e.low * scale);
        const auto highest = static_cast<float>(e.high * scale);
        col.low = col.frames == 0 ? lowest : std::min(col.low, lowest);
        col.high = col.frames == 0 ? highest : std::max(col.high, highest);
        col.squares += e.squares * scale * scale;
        col.frames += piece;
        c.totals.peak = std::max({c.totals.peak, -e.low * scale, e.high * scale});
        f += piece;
    }
    for (std::size_t ch = 0; ch < c.survey.per_channel.size(); ++ch) {
        channel_survey& s = c.survey.per_channel[ch];
        if (ch == selected) {
            s.peak = c.totals.peak;
            continue;
        }
        if (frames == 0) continue;
        const envelope e = envelope_of(samples.data() + ch, channels, frames);
        s.peak = std::max({s.peak, -e.low * scale, e.high * scale});
    }
}

}  // namespace

void collect_samples(report_collector& c, std::span<const double> samples) {
    const std::size_t frames = samples.size() / static_cast<std::size_t>(c.settings.channels);
    if (c.settings.envelope) collect_block(c, samples, 1.0 / c.settings.full_scale);
    survey_frames(c.survey, samples.data(), frames, 1.0 / c.settings.full_scale);
    extend(c, c.survey.position);
}

std::uint64_t segment_gap_frames(const report_settings& s) {
    return static_cast<std::uint64_t>(30.0 * s.sample_rate / std::max(s.baud_rate, 1));
}

std::uint64_t byte_frames(const report_settings& s) {
    return static_cast<std::uint64_t>(std::ceil(9.0 * s.sample_rate / std::max(s.baud_rate, 1)));
}

std::optional<report_segment> collect_byte(report_collector& c, const report_byte& b) {
    report_column& col = column_at(c, b.start_frame);
    const bool doubtful = is_doubtful(b);
    ++col.bytes;
    ++c.totals.bytes;
    if (!std::isnan(b.confidence)) {
        ++col.measured;
        col.confidence_sum += b.confidence;
        col.least_confidence = std::min(col.least_confidence, static_cast<float>(b.confidence));
        ++c.totals.measured;
        c.totals.confidence_sum += b.confidence;
        c.totals.least_confidence = std::min(c.totals.least_confidence, b.confidence);
    }
    if (doubtful) {
        ++col.doubtful;
        ++c.totals.doubtful;
        if (c.first_doubtful.size() < listed_doubtful) c.first_doubtful.push_back(b);
    }
    if (b.framing_error) {
        ++col.framing_errors;
        ++c.totals.framing_errors;
    }
    const std::uint64_t end = b.start_frame + c.byte_length;
    extend(c, end);
    if (c.settings.recovery) return std::nullopt;

    if (c.awaiting_idle) ++c.bytes_without_idle;
    c.awaiting_idle = true;
    std::optional<report_segment> closed = extend_built(c, b.start_frame, end);
    ++c.current.bytes;
    if (b.framing_error) ++c.current.framing_errors;
    if (!std::isnan(b.level)) {
        c.level_sum += b.level;
        ++c.level_count;
    }
    return closed;
}

std::optional<report_segment> collect_tone(report_collector& c, std::uint64_t from,
                                           std::uint64_t to) {
    extend(c, to);
    if (c.settings.recovery) return std::nullopt;
    c.awaiting_idle = false;
    return extend_built(c, from, to);
}

void collect_segment(report_collector& c, const report_segment& segment) {
    add_carrier(c, segment);
    if (std::isnan(segment.baud) || segment.echo) return;
    heard_signal h;
    h.baud =
        std::isnan(segment.speed) ? std::round(segment.baud) : segment.baud / (1.0 + segment.speed);
    h.lower_tone = 10.0 * std::round(segment.lower_tone / 10.0);
    h.upper_tone = 10.0 * std::round(segment.upper_tone / 10.0);
    const auto near = [](double a, double b) { return std::fabs(a - b) <= 0.03 * b; };
    for (const heard_signal& k : c.signals)
        if (near(h.baud, k.baud) && near(h.lower_tone, k.lower_tone) &&
            near(h.upper_tone, k.upper_tone))
            return;
    if (c.signals.size() < listed_signals) c.signals.push_back(h);
}

std::optional<report_segment> finish_report(report_collector& c) {
    if (!c.building) return std::nullopt;
    return close_built(c);
}

std::vector<report_segment> segments_from_bytes(std::span<const report_byte> bytes,
                                                const report_settings& settings) {
    report_settings s = settings;
    s.recovery = false;
    s.channels = 1;
    s.channel = 0;
    report_collector c = make_report_collector(s);
    std::vector<report_segment> out;
    for (const report_byte& b : bytes)
        if (auto closed = collect_byte(c, b)) out.push_back(*closed);
    if (auto last = finish_report(c)) out.push_back(*last);
    return out;
}
