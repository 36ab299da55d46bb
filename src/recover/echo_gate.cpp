#include "recover/echo_gate.h"

#include <algorithm>
#include <cmath>

#include "recover/tuning.h"

namespace {

const double echo_ratio = std::pow(10.0, tuning::echo_db / 20.0);

void emit(const recover_sink& sink, const recovered_byte& b) {
    if (sink.byte) sink.byte(b);
}

void report(const recover_sink& sink, const carrier_segment& s) {
    if (sink.segment) sink.segment(s);
}

void remember(echo_gate& g, const std::vector<std::uint8_t>& values, std::size_t count,
              double level, std::uint64_t end) {
    std::copy_n(values.begin(), count, g.last.begin());
    g.last_count = count;
    g.last_level = level;
    g.last_end = end;
}

// The weak carrier held: output after all.
void release_pending(echo_gate& g, const recover_sink& sink) {
    echo_gate::pending_carrier& p = *g.pending;
    for (std::size_t k = 0; k < p.count; ++k)
        emit(sink, held_at(g.hold, k));
    drop_oldest(g.hold, p.count);
    report(sink, p.segment);
    remember(g, g.pending_values, std::min(p.count, g.pending_values.size()), p.level, p.end);
    g.pending.reset();
}

// The weak carrier held is judged against the current, louder one's bytes so far.
void judge_pending(echo_gate& g, const recover_sink& sink) {
    echo_gate::pending_carrier& p = *g.pending;
    const std::size_t count = std::min(p.count, g.pending_values.size());
    if (repeated_share(g.pending_values.data(), count, g.values.data(), g.value_count) <
        tuning::echo_share) {
        release_pending(g, sink);
        return;
    }
    drop_oldest(g.hold, p.count);
    p.segment.echo = true;
    p.segment.bytes = p.segment.framing_errors = 0;
    report(sink, p.segment);
    g.pending.reset();
}

// Whether the current carrier's own bytes are held: it may echo the last one, or a carrier
// 15 dB louder may still follow it.
bool holds_current(const echo_gate& g) {
    return g.suspect || g.level < g.ceiling;
}

void flush(echo_gate& g, const recover_sink& sink) {
    if (g.pending) release_pending(g, sink);
    for (std::size_t k = 0; k < g.hold.count; ++k)
        emit(sink, held_at(g.hold, k));
    clear(g.hold);
}

}  // namespace

echo_gate make_echo_gate(std::int32_t sample_rate, double full_scale) {
    echo_gate g;
    g.reach = static_cast<std::uint64_t>(tuning::echo_reach_s * sample_rate);
    g.ceiling = full_scale / echo_ratio;
    g.last.assign(tuning::hold_bytes, 0);
    g.values.assign(tuning::hold_bytes, 0);
    g.pending_values.assign(tuning::hold_bytes, 0);
    g.hold = make_byte_hold(tuning::hold_bytes);
    return g;
}

void reset(echo_gate& g) {
    g.last_count = 0;
    g.last_level = 0.0;
    g.last_end.reset();
    g.open = g.suspect = g.passing = false;
    g.value_count = 0;
    clear(g.hold);
    g.pending.reset();
}

void gate_carrier(echo_gate& g, std::uint64_t start, double level, const recover_sink& sink) {
    g.open = true;
    g.passing = false;
    g.level = level;
    g.start = start;
    g.value_count = 0;
    // A weak carrier held is judged against a louder one that follows within reach; any other
    // carrier shows it was no echo.
    if (g.pending && !(level >= g.pending->level * echo_ratio)) release_pending(g, sink);
    g.suspect = g.last_end && start <= *g.last_end + g.reach && g.last_level >= level * echo_ratio;
}

void gate_byte(echo_gate& g, const recovered_byte& b, const recover_sink& sink) {
    if (g.value_count < g.values.size()) g.values[g.value_count++] = b.value;
    if (g.passing || !(g.pending || holds_current(g))) {
        emit(sink, b);
        return;
    }
    recovered_byte oldest;
    if (push(g.hold, b, oldest)) {
        // Longer than any echo the gate can judge: all goes out, and the rest as it comes.
        // The oldest goes first; when it was the weak carrier's, the rest of that one next.
        emit(sink, oldest);
        if (g.pending && g.pending->count > 0) --g.pending->count;
        flush(g, sink);
        g.passing = true;
        return;
    }
    if (g.pending && g.hold.count - g.pending->count >= g.pending->count) {
        judge_pending(g, sink);
        if (!holds_current(g)) flush(g, sink);
    }
}

void gate_end(echo_gate& g, carrier_segment segment, bool established, const recover_sink& sink) {
    // A carrier that never showed FSK structure is no segment: hiss, or the detector
    // hesitating.
    if (!established || !g.open) return;
    g.open = false;
    if (g.pending) judge_pending(g, sink);
    const std::size_t count = std::min(g.value_count, g.values.size());
    if (g.passing || !holds_current(g)) {
        flush(g, sink);
        report(sink, segment);
        remember(g, g.values, count, g.level, segment.end_frame);
        return;
    }
    if (g.suspect && g.last_count > 0 &&
        repeated_share(g.values.data(), count, g.last.data(), g.last_count) >= tuning::echo_share) {
        clear(g.hold);
        segment.echo = true;
        segment.bytes = segment.framing_errors = 0;
        report(sink, segment);
        return;
    }
    // Not an echo of what came before; a louder carrier may still follow it.
    if (g.level >= g.ceiling) {
        flush(g, sink);
        report(sink, segment);
        remember(g, g.values, count, g.level, segment.end_frame);
        return;
    }
    g.pending = echo_gate::pending_carrier{segment, g.hold.count, g.level, segment.end_frame};
    std::copy_n(g.values.begin(), count, g.pending_values.begin());
}

void gate_time(echo_gate& g, std::uint64_t frame, const recover_sink& sink) {
    if (g.pending && !g.open && frame > g.pending->end + g.reach) release_pending(g, sink);
}

void gate_finish(echo_gate& g, const recover_sink& sink) {
    flush(g, sink);
}

double repeated_share(const std::uint8_t* copy, std::size_t copy_count,
                      const std::uint8_t* original, std::size_t original_count) {
    if (copy_count < 3) return 0.0;
    std::size_t found = 0;
    for (std::size_t i = 0; i + 2 < copy_count; ++i) {
        for (std::size_t j = 0; j + 2 < original_count; ++j) {
            if (copy[i] == original[j] && copy[i + 1] == original[j + 1] &&
                copy[i + 2] == original[j + 2]) {
                ++found;
                break;
            }
        }
    }
    return static_cast<double>(found) / static_cast<double>(copy_count - 2);
}
