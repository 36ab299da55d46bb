#include "recover/echo_gate.h"

#include <algorithm>
#include <cmath>

#include "recover/tuning.h"

namespace {

const double echo_ratio = std::pow(10.0, tuning::echo_db / 20.0);

void emit(const recover_sink& sink, const recovered_byte& b) {
    if (sink.byte) sink.byte(b);
}

// A carrier that gave no byte (a sweep passing the tones, a leader alone) is no segment to
// report; an echo is, to say where it was.
void report(const recover_sink& sink, carrier_segment s) {
    // A stretch cut at a byte's start may end before a window reaching back began it.
    s.end_frame = std::max(s.end_frame, s.start_frame);
    if (sink.segment && (s.bytes > 0 || s.echo)) sink.segment(s);
}

// An echo inside the current carrier waits for the carrier's segment (while there is room),
// so that segments are reported in the order of their starts.
void report_echo(echo_gate& g, const carrier_segment& echo, const recover_sink& sink) {
    if (g.open && g.echo_count < g.echoes.size()) {
        g.echoes[g.echo_count++] = echo;
    } else {
        report(sink, echo);
    }
}

// The carrier's segment (if it has one) and the echoes found inside it, by their starts.
void report_carrier(echo_gate& g, const carrier_segment* kept, const recover_sink& sink) {
    std::size_t next = 0;
    for (; next < g.echo_count && (!kept || g.echoes[next].start_frame < kept->start_frame); ++next)
        report(sink, g.echoes[next]);
    if (kept) report(sink, *kept);
    for (; next < g.echo_count; ++next)
        report(sink, g.echoes[next]);
    g.echo_count = 0;
}

void report_dropped(echo_gate& g, const carrier_segment& echo, bool whole,
                    const recover_sink& sink) {
    if (whole) {
        report(sink, echo);
    } else {
        report_echo(g, echo, sink);
    }
}

// The weak stretch held has been judged: the echoes dropped after it are reported now.
void report_after_pending(echo_gate& g, const recover_sink& sink) {
    for (std::size_t k = 0; k < g.after_pending_count; ++k)
        report_dropped(g, g.after_pending[k].segment, g.after_pending[k].whole, sink);
    g.after_pending_count = 0;
}

// The latest bytes of a ring of `count` recorded, oldest first, into `out`: how many.
std::size_t in_order(const std::vector<std::uint8_t>& ring, std::size_t count,
                     std::vector<std::uint8_t>& out) {
    const std::size_t size = ring.size();
    const std::size_t n = std::min(count, size);
    const std::size_t first = count > size ? count % size : 0;
    for (std::size_t k = 0; k < n; ++k)
        out[k] = ring[(first + k) % size];
    return n;
}

void record(std::vector<std::uint8_t>& ring, std::size_t& count, std::uint8_t value) {
    ring[count % ring.size()] = value;
    ++count;
}

// The current stretch is output: it is the reference for what follows.
void remember_current(echo_gate& g, std::uint64_t end) {
    g.last_count = in_order(g.values, g.value_count, g.last);
    g.last_level = g.level;
    g.last_end = end;
}

void keep(echo_gate& g, std::uint64_t from, std::uint64_t to) {
    if (!g.kept_any || from < g.kept_start) g.kept_start = from;
    g.kept_end = std::max(g.kept_end, to);
    g.kept_any = true;
}

// The weak stretch held: output after all.
void release_pending(echo_gate& g, const recover_sink& sink) {
    echo_gate::pending_stretch& p = *g.pending;
    for (std::size_t k = 0; k < p.count; ++k)
        emit(sink, held_at(g.hold, k));
    drop_oldest(g.hold, p.count);
    if (p.whole) {
        report(sink, p.segment);
    } else if (g.open) {
        keep(g, p.segment.start_frame, p.segment.end_frame);
    }
    // A stretch 15 dB under the reference it followed within reach is no reference for what
    // follows: the echoes after it are still the louder one's.
    const bool weaker = g.last_end && p.segment.start_frame <= *g.last_end + g.reach &&
                        g.last_level >= p.level * echo_ratio;
    if (!weaker) {
        g.last_count = in_order(g.pending_values, g.pending_value_count, g.last);
        g.last_level = p.level;
        g.last_end = p.segment.end_frame;
    }
    g.pending.reset();
    report_after_pending(g, sink);
}

// The weak stretch held, judged against the current, louder one's bytes so far.
void judge_pending(echo_gate& g, const recover_sink& sink) {
    echo_gate::pending_stretch& p = *g.pending;
    const std::size_t copy = in_order(g.pending_values, g.pending_value_count, g.scratch);
    // Between two blocks the echoes of both may run together: its bytes are looked for in the
    // stretch before it and in this one.
    std::vector<std::uint8_t>& original = g.originals;
    const std::size_t n = in_order(g.values, g.value_count, original);
    const std::size_t before = std::min(g.last_count, g.last.size());
    std::copy_n(g.last.begin(), before, original.begin() + static_cast<std::ptrdiff_t>(n));
    if (repeated_share(g.scratch.data(), copy, original.data(), n, before) < tuning::echo_share) {
        release_pending(g, sink);
        return;
    }
    drop_oldest(g.hold, p.count);
    if (!p.whole && g.open) g.dropped += p.segment.bytes;
    p.segment.echo = true;
    p.segment.bytes = p.segment.framing_errors = 0;
    report_dropped(g, p.segment, p.whole, sink);
    g.pending.reset();
    report_after_pending(g, sink);
}

// Whether the current stretch's own bytes are held: it may echo the last one, or a stretch
// 15 dB louder may still follow it. Decided at its opening, so its bytes keep their order.
bool holds_current(const echo_gate& g) {
    return g.holding;
}

void flush(echo_gate& g, const recover_sink& sink) {
    if (g.pending) release_pending(g, sink);
    for (std::size_t k = 0; k < g.hold.count; ++k)
        emit(sink, held_at(g.hold, k));
    clear(g.hold);
}

void open_stretch(echo_gate& g, std::uint64_t start, double level) {
    g.passing = false;
    g.level = level;
    g.start = start;
    g.bytes = 0;
    g.value_count = 0;
    // A weak stretch held is judged against a louder one that follows within reach (when that
    // one ends).
    g.suspect = g.last_end && start <= *g.last_end + g.reach && g.last_level >= level * echo_ratio;
    g.holding = g.suspect || level < g.ceiling;
}

// The current stretch ends at input frame `end`: output, dropped as an echo, or held.
// The stretch being closed is an echo: said where it was, its bytes (already dropped) not
// output. A whole carrier is reported with its own figures.
void drop_stretch(echo_gate& g, std::uint64_t end, bool whole, const carrier_segment& segment,
                  const recover_sink& sink) {
    carrier_segment echo = whole ? segment : carrier_segment{};
    echo.start_frame = g.start;
    echo.end_frame = end;
    echo.bytes = echo.framing_errors = 0;
    echo.echo = true;
    if (!whole) g.dropped += g.bytes;
    if (g.pending && g.after_pending_count < g.after_pending.size()) {
        g.after_pending[g.after_pending_count++] = {echo, whole};
    } else {
        report_dropped(g, echo, whole, sink);
    }
}

void close_stretch(echo_gate& g, std::uint64_t end, bool whole, const carrier_segment& segment,
                   const recover_sink& sink) {
    // A weak stretch after a weak one held: an echo of the last louder one is dropped alone,
    // the one held still waiting for a louder one after them.
    if (g.pending && g.suspect && !g.passing && g.hold.count >= g.pending->count) {
        g.last_count = std::min(g.last_count, g.last.size());
        const std::size_t n = in_order(g.values, g.value_count, g.scratch);
        if (g.last_count > 0 && repeated_share(g.scratch.data(), n, g.last.data(), g.last_count) >=
                                    tuning::echo_share) {
            drop_newest(g.hold, std::min<std::size_t>(g.bytes, g.hold.count - g.pending->count));
            drop_stretch(g, end, whole, segment, sink);
            return;
        }
        // Nor louder than the one held: one weak stretch with it, waiting for a louder one.
        if (!(g.level >= g.pending->level * echo_ratio)) {
            echo_gate::pending_stretch& p = *g.pending;
            for (std::size_t k = 0; k < n; ++k)
                record(g.pending_values, g.pending_value_count, g.scratch[k]);
            p.count = g.hold.count;
            p.segment.end_frame = end;
            p.segment.bytes += whole ? segment.bytes : g.bytes;
            p.segment.framing_errors += whole ? segment.framing_errors : 0;
            p.whole = p.whole || whole;
            g.pending_in_carrier = g.pending_in_carrier || !whole;
            return;
        }
    }
    // A stretch neither louder than the weak one held nor weak itself shows it was no echo
    // (judged at its end: its first bytes may rise out of the echo).
    if (g.pending && !(g.level >= g.pending->level * echo_ratio) && !g.suspect)
        release_pending(g, sink);
    if (g.pending) judge_pending(g, sink);
    if (g.passing || !holds_current(g)) {
        flush(g, sink);
        remember_current(g, end);
        keep(g, g.start, end);
        return;
    }
    g.last_count = std::min(g.last_count, g.last.size());
    const std::size_t n = in_order(g.values, g.value_count, g.scratch);
    if (g.suspect && g.last_count > 0 &&
        repeated_share(g.scratch.data(), n, g.last.data(), g.last_count) >= tuning::echo_share) {
        clear(g.hold);
        drop_stretch(g, end, whole, segment, sink);
        return;
    }
    if (!g.holding || g.level >= g.ceiling) {
        flush(g, sink);
        remember_current(g, end);
        keep(g, g.start, end);
        return;
    }
    // Not an echo of what came before; a louder stretch may still follow it.
    echo_gate::pending_stretch p;
    p.segment = whole ? segment : carrier_segment{};
    p.segment.start_frame = g.start;
    p.segment.end_frame = end;
    if (!whole) p.segment.bytes = g.bytes;
    p.whole = whole;
    g.pending_in_carrier = !whole;
    p.count = g.hold.count;
    p.level = g.level;
    g.pending = p;
    std::copy(g.values.begin(), g.values.end(), g.pending_values.begin());
    g.pending_value_count = g.value_count;
}

}  // namespace

echo_gate make_echo_gate(std::int32_t sample_rate, double full_scale) {
    echo_gate g;
    g.reach = static_cast<std::uint64_t>(tuning::echo_reach_s * sample_rate);
    g.ceiling = full_scale / echo_ratio;
    g.last.assign(tuning::hold_bytes, 0);
    g.values.assign(tuning::hold_bytes, 0);
    g.pending_values.assign(tuning::hold_bytes, 0);
    g.scratch.assign(tuning::hold_bytes, 0);
    g.originals.assign(2 * tuning::hold_bytes, 0);
    g.hold = make_byte_hold(tuning::hold_bytes);
    return g;
}

void gate_carrier(echo_gate& g, std::uint64_t start, double level, const recover_sink&) {
    g.open = true;
    g.kept_any = false;
    g.pending_in_carrier = false;
    g.kept_start = g.kept_end = start;
    g.dropped = 0;
    open_stretch(g, start, level);
}

void gate_byte(echo_gate& g, const recovered_byte& b, double level, const recover_sink& sink) {
    if (g.bytes >= tuning::echo_stretch_bytes &&
        (level * echo_ratio < g.level || level > g.level * echo_ratio)) {
        close_stretch(g, b.start_frame, false, carrier_segment{}, sink);
        open_stretch(g, b.start_frame, level);
    }
    g.level = g.bytes == 0 ? level : g.level + (level - g.level) * tuning::echo_level_weight;
    ++g.bytes;
    record(g.values, g.value_count, b.value);
    if (g.passing || !(g.pending || holds_current(g))) {
        emit(sink, b);
        return;
    }
    // No room left while a weak stretch waits: it is judged on what this one has given.
    if (g.pending && g.hold.count == g.hold.slots.size()) {
        judge_pending(g, sink);
        if (!holds_current(g)) {
            flush(g, sink);
            emit(sink, b);
            return;
        }
    }
    recovered_byte oldest;
    if (push(g.hold, b, oldest)) {
        // Longer than any echo the gate can judge: all goes out, and the rest as it comes.
        // The oldest goes first; when it was the weak stretch's, the rest of that one next.
        emit(sink, oldest);
        if (g.pending && g.pending->count > 0) --g.pending->count;
        flush(g, sink);
        g.passing = true;
        return;
    }
}

void gate_end(echo_gate& g, carrier_segment segment, bool established, const recover_sink& sink) {
    // A carrier that never showed FSK structure is no segment: hiss, or the detector
    // hesitating.
    if (!established || !g.open) return;
    // A carrier of one stretch is judged whole: held, its segment waits with it. (A weak
    // stretch held from before it is no stretch of it.)
    const bool whole = !g.kept_any && !(g.pending && g.pending_in_carrier);
    close_stretch(g, segment.end_frame, whole, segment, sink);
    g.open = false;
    if ((whole && (g.pending || !g.kept_any)) || !g.kept_any) {
        // Held whole, an echo (reported), or every stretch an echo.
        report_carrier(g, nullptr, sink);
        return;
    }
    segment.start_frame = std::max(segment.start_frame, g.kept_start);
    segment.end_frame = std::min(segment.end_frame, g.kept_end);
    segment.bytes -= std::min(segment.bytes, g.dropped);
    report_carrier(g, &segment, sink);
}

void gate_time(echo_gate& g, std::uint64_t frame, const recover_sink& sink) {
    if (g.pending && !g.open && frame > g.pending->segment.end_frame + g.reach) {
        release_pending(g, sink);
        flush(g, sink);
    }
}

void gate_finish(echo_gate& g, const recover_sink& sink) {
    flush(g, sink);
}

double repeated_share(const std::uint8_t* copy, std::size_t copy_count,
                      const std::uint8_t* original, std::size_t original_count,
                      std::size_t second_count) {
    if (copy_count < 3) return 0.0;
    // The two originals side by side: a triple across their joint counts for neither.
    const auto found_in = [&](const std::uint8_t* o, std::size_t count, std::size_t i) {
        for (std::size_t j = 0; j + 2 < count; ++j) {
            if (copy[i] == o[j] && copy[i + 1] == o[j + 1] && copy[i + 2] == o[j + 2]) return true;
        }
        return false;
    };
    std::size_t found = 0;
    for (std::size_t i = 0; i + 2 < copy_count; ++i) {
        found += found_in(original, original_count, i) ||
                 found_in(original + original_count, second_count, i);
    }
    return static_cast<double>(found) / static_cast<double>(copy_count - 2);
}
