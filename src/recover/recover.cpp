// The recovery demodulator, in four stages per input piece.
//
// Front end. Far above the upper tone (six times it or more) the input is low-passed by a
// triangle of 2 stride - 1 taps (summed as the input arrives, so nothing is staged) and only
// every stride-th frame kept (44.1 kHz, tones at 1200/2400 Hz: every third): the triangle's
// zeros sit on the multiples of the new rate, where what would fold onto the tones comes
// from. A band filter (critically damped high-pass at a
// quarter of the lower tone, low-pass at 1.6 times the upper) keeps hum, DC and most hiss out.
// Everything after this counts in kept frames; frames reported outside are input frames, the
// band filter's group delay taken off.
//
// Correlators. Both tones are correlated over a window exactly one bit long (whole frames
// plus a fraction of the oldest one), with running sums updated in O(1) per frame from an
// oscillator that is resynchronised from an exact phase now and then. A bit-long window holds
// whole cycles of either tone, so a steady tone leaves nothing in the other's correlator,
// which matters when one tone is 12 dB weaker than the other. The sums of the last bytes'
// worth of frames are kept, so decisions can look back at any (interpolated) window.
//
// Decisions. Each tone's amplitude is learnt from clear bits; the discriminator compares the
// two normalised amplitudes, so it needs neither a level nor a polarity. A start is the
// crossing from mark to space, pulled onto the running bit clock when it falls a whole number
// of bits after the previous start; a byte is read once its stop bit is in, each bit from the
// window centred on it (a matched filter over the bit), and the clock is then corrected from
// the byte's own transitions. A missing stop bit means the next start follows at once
// (recordings without idle bits), counted as a framing error once the segment has shown stop
// bits. The carrier detector averages each bit's quality (the share of band energy that tells
// the bit) and how well the tones sit where the clock's speed puts them, with hysteresis;
// silence counts for neither, so a dropout keeps the segment and decoding resumes as soon as
// the signal returns. A segment's bytes are output only once it is established: twenty clean
// idle bits in a row at the clock's frequency, or three clean bytes with stop bits in a row
// on one clock (held until then), or the carrier back within twenty bits of an established
// one. Hiss, noise in the band and music hold the detector for moments only.
//
// Dropouts. A signal that comes back from silence mid-byte gives no sign of where bytes
// begin: its first space is as likely a data bit as a start bit, and with mixed idle gaps a
// wrong frame stays self-consistent for many bytes. So the decoder waits about a hundred bits
// after the first clean edge, then frames those bits from every space among the first twenty
// in turn and keeps the framing that explains them in the fewest bits: data bits one each,
// start bits nothing, each idle gap by how often the segment has shown that gap so far (a
// wrong frame soon needs gaps the stream never had). Bytes are then read from the chosen start
// on, the start of each next one sought at the clock's slots until decoding has caught up.
//
// Segment figures: level and SNR from the winning and losing tones, speed from the clock, and
// polarity from the winning tone's phase at the bit boundaries of the first clear bits (the
// encoder's tones stand at a positive peak there; whole cycles per bit keep that phase the
// same at every boundary).

#include "recover/recover.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <numbers>

#include "base/error.h"

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

// The oscillator is reset to an exactly computed phase this often, so its rounding never
// accumulates; the running sums are recomputed from their terms at the longer interval.
constexpr std::uint64_t oscillator_resync = 1024;
constexpr std::uint64_t sums_resync = 65536;

// Frames filtered and correlated ahead of the decisions.
constexpr std::size_t piece_frames = 256;

// A space must beat a mark by this much (normalised amplitudes, (a0 - a1) / (a0 + a1)) to
// count as a start bit; squared, as the per-sample search compares energies.
constexpr double start_margin = 0.3;
const double start_energy_ratio =
    ((1.0 + start_margin) / (1.0 - start_margin)) * ((1.0 + start_margin) / (1.0 - start_margin));

// Carrier detection: an average of the per-bit quality with hysteresis.
constexpr double quality_weight = 0.25;
constexpr double carrier_on = 0.6;
constexpr double carrier_off = 0.35;
// And the tones must sit where the clock says they should, on average.
constexpr double fit_weight = 0.1;
constexpr double fit_on = 0.5;
constexpr double fit_off = 0.25;

// Silence this long (bits) ends a carrier segment; shorter is a dropout within one.
constexpr double longest_dropout = 60.0;

// After a silent dropout the byte frame is chosen from the bits this far past the first clean
// start edge, and among start bits no later than resync_reach bits into the heard signal.
constexpr int resync_bits = 110;
constexpr int resync_reach = 20;
constexpr int resync_before = 10;  // bits before that edge taken at most

// A carrier is established by this many clean idle bits in a row (or by the pending bytes).
constexpr int established_idle = 20;

// Tone amplitudes follow the signal at this rate per confident bit.
constexpr double amp_weight = 0.15;

// The clock may run this far from nominal.
constexpr double slowest = 0.88;
constexpr double fastest = 1.12;

biquad make_biquad(double b0, double b1, double b2, double a0, double a1, double a2) {
    biquad f;
    f.b0 = b0 / a0;
    f.b1 = b1 / a0;
    f.b2 = b2 / a0;
    f.a1 = a1 / a0;
    f.a2 = a2 / a0;
    return f;
}

// Second-order sections by the bilinear transform.
// Critically damped: its tail after a strong tone is short.
biquad high_pass(double corner, double rate) {
    const double w = two_pi * corner / rate;
    const double c = std::cos(w);
    const double alpha = std::sin(w);
    return make_biquad((1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0, 1.0 + alpha, -2.0 * c,
                       1.0 - alpha);
}

biquad low_pass(double corner, double rate) {
    const double w = two_pi * corner / rate;
    const double c = std::cos(w);
    const double alpha = std::sin(w) / std::numbers::sqrt2;
    return make_biquad((1.0 - c) / 2.0, 1.0 - c, (1.0 - c) / 2.0, 1.0 + alpha, -2.0 * c,
                       1.0 - alpha);
}

std::complex<double> response(const biquad& f, double freq, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -two_pi * freq / rate);
    return (f.b0 + f.b1 * z1 + f.b2 * z1 * z1) / (1.0 + f.a1 * z1 + f.a2 * z1 * z1);
}

inline double filter(biquad& f, double x) {
    const double y = f.b0 * x + f.b1 * f.x1 + f.b2 * f.x2 - f.a1 * f.y1 - f.a2 * f.y2;
    f.x2 = f.x1;
    f.x1 = x;
    f.y2 = f.y1;
    f.y1 = y;
    return y;
}

void resync_oscillator(tone_correlator& c) {
    const auto rate = static_cast<std::uint64_t>(c.sample_rate);
    const std::uint64_t at = ((c.count % rate) * static_cast<std::uint64_t>(c.stride)) % rate;
    const std::uint64_t turn = (at * static_cast<std::uint64_t>(c.lower_tone)) % rate;
    const double angle = two_pi * static_cast<double>(turn) / static_cast<double>(rate);
    c.osc_r = std::cos(angle);
    c.osc_i = -std::sin(angle);
}

// The sums at window end time t (fractional frames), interpolated between the two frames
// around it; t is clamped to the frames still held.
window_sums sums_at(const recover_decoder& d, double t) {
    // Up to piece_frames frames past the newest decided one may already be in the history.
    const auto held = static_cast<double>(d.history.size() - piece_frames);
    const double newest = static_cast<double>(d.frame) - 1.0;
    t = std::clamp(t, std::max(1.0, newest - held + 2.0), std::max(1.0, newest));
    const double upper = std::ceil(t);
    const double f = t - (upper - 1.0);
    const auto hi = static_cast<std::uint64_t>(upper);
    const std::uint64_t mask = d.history.size() - 1;
    const window_sums& a = d.history[(hi - 1) & mask];
    const window_sums& b = d.history[hi & mask];
    const double g = 1.0 - f;
    return {a.r0 * g + b.r0 * f, a.i0 * g + b.i0 * f, a.r1 * g + b.r1 * f, a.i1 * g + b.i1 * f,
            a.energy * g + b.energy * f};
}

// One window judged: tone magnitudes, the level-free discriminator and the carrier quality.
struct judgement {
    double mag0 = 0.0, mag1 = 0.0;
    double margin = 0.0;   // (a1 - a0) / (a1 + a0) of the normalised amplitudes: > 0 a mark
    double quality = 0.0;  // share of the window's band energy that tells the bit, -1 .. 1
    bool silent = true;    // nothing heard in the window
};

judgement judge(const recover_decoder& d, const window_sums& s) {
    judgement j;
    const double e0 = s.r0 * s.r0 + s.i0 * s.i0;
    const double e1 = s.r1 * s.r1 + s.i1 * s.i1;
    j.mag0 = std::sqrt(e0);
    j.mag1 = std::sqrt(e1);
    const double n0 = j.mag0 / d.amp0;
    const double n1 = j.mag1 / d.amp1;
    if (n0 + n1 > 0.0) j.margin = (n1 - n0) / (n1 + n0);
    // A full window of one tone of amplitude A gives |S|^2 = (A w / 2)^2 and energy A^2 w / 2.
    if (s.energy > d.floor_energy) {
        j.silent = false;
        const double band = s.energy * d.length / 2.0;
        // A stronger losing tone is weighed at the winner's level: with unbalanced tones the
        // strong one's tail in a weak bit is no sign of a poor carrier.
        const double balance =
            std::min(1.0, j.margin > 0.0 ? (d.amp1 * d.amp1) / (d.amp0 * d.amp0)
                                         : (d.amp0 * d.amp0) / (d.amp1 * d.amp1));
        const double win = j.margin > 0.0 ? e1 : e0;
        const double lose = (j.margin > 0.0 ? e0 : e1) * balance;
        j.quality = std::clamp((win - lose) / band, -1.0, 1.0);
    }
    return j;
}

// How well a tone's measured offset from nominal agrees with the clock's: FSK played fast
// or slow moves tones and bit rate alike, while tones of music or speech near the band sit
// anywhere. 1 agrees, 0 is a fifth of the tone's frequency off or more.
double frequency_fit(const recover_decoder& d, double offset) {
    const double deviation = (offset - (d.nominal_period / d.period - 1.0)) / 0.2;
    return std::max(0.0, 1.0 - deviation * deviation);
}

// The same for one bit: the tone turns between windows a quarter bit before and after the
// bit's centre by its offset.
double bit_frequency_fit(const recover_decoder& d, double centre_end, double p, bool mark) {
    const window_sums a = sums_at(d, centre_end - 0.25 * p);
    const window_sums b = sums_at(d, centre_end + 0.25 * p);
    const std::complex<double> before =
        mark ? std::complex<double>(a.r1, a.i1) : std::complex<double>(a.r0, a.i0);
    const std::complex<double> after =
        mark ? std::complex<double>(b.r1, b.i1) : std::complex<double>(b.r0, b.i0);
    const double turn = std::arg(after * std::conj(before));
    const double tone = mark ? 2.0 * d.signal.lower_tone : d.signal.lower_tone;
    return frequency_fit(d, turn * d.frame_rate / (two_pi * 0.5 * p * tone));
}

// The cosine of the winning tone's phase at the start of bit k, relative to the tone as
// the encoder writes it (a cosine from every bit boundary, the tones whole cycles per bit).
// The window centred on the bit sees the tone half a bit on; a tone played fast or slow has
// turned by its own frequency over that half bit, which is half the nominal bit at the
// correlator's.
double boundary_phase(const recover_decoder& d, double t0, double p, int k, bool mark) {
    const double centre = t0 + (k + 0.5) * p;
    const window_sums s = sums_at(d, centre + d.half_window);
    const double omega = two_pi * d.signal.lower_tone * (mark ? 2.0 : 1.0) / d.frame_rate;
    const std::complex<double> sum =
        mark ? std::complex<double>(s.r1, s.i1) : std::complex<double>(s.r0, s.i0);
    const double turn = mark ? d.turn1 : d.turn0;
    const double angle =
        std::remainder(omega * centre, two_pi) - omega * d.nominal_period / 2.0 - turn;
    const std::complex<double> z = sum * std::polar(1.0, angle);
    return std::abs(z) > 0.0 ? z.real() / std::abs(z) : 0.0;
}

void close_segment(recover_decoder& d, const recover_sink& sink) {
    carrier_segment& s = d.segment;
    s.end_frame = std::max(d.last_good * static_cast<std::uint64_t>(d.stride), s.start_frame);
    if (d.level_count > 0.0) s.level = d.level_sum / d.level_count;
    if (d.noise_sum > 0.0) {
        s.snr_db = 10.0 * std::log10(std::max(d.signal_sum, 1e-300) / d.noise_sum);
    } else {
        s.snr_db = d.signal_sum > 0.0 ? 99.0 : 0.0;
    }
    s.snr_db = std::min(s.snr_db, 99.0);
    if (d.speed_count > 0.0) s.speed = d.speed_sum / d.speed_count;
    // Within 60 degrees of either phase on average; a quarter turn (a differentiated or
    // all-pass-filtered signal) is neither.
    if (d.polarity_count > 0.0) {
        const double mean = d.polarity_sum / d.polarity_count;
        s.polarity = mean > 0.5 ? 1 : mean < -0.5 ? -1 : 0;
    }
    if (sink.segment) sink.segment(s);
    d.carrier = false;
    if (d.established) {
        d.trusted_until = static_cast<double>(d.last_good) + established_idle * d.nominal_period;
    }
    d.established = false;
    d.pending_count = 0;
}

// Feeds one bit's quality to the carrier detector at window end time t.
void note_quality(recover_decoder& d, const judgement& j, double fit, double t,
                  const recover_sink& sink) {
    // Silence tells nothing about the carrier: a dropout keeps it, and the signal that
    // returns is read at once (a long silence ends the segment, see step).
    if (j.silent) return;
    const double v = j.quality;
    const auto frame = static_cast<std::uint64_t>(std::max(0.0, t));
    d.quality += (v - d.quality) * quality_weight;
    d.tone_fit += (fit - d.tone_fit) * fit_weight;
    if (v > 0.5) {
        if (!d.good_run) d.good_since = frame;
        d.good_run = true;
        d.last_good = frame;
    } else {
        d.good_run = false;
    }
    if (!d.carrier && d.quality > carrier_on && d.tone_fit > fit_on) {
        d.carrier = true;
        d.established = t <= d.trusted_until;
        d.seen_stop = false;
        d.segment = carrier_segment{};
        const auto w = static_cast<std::uint64_t>(d.corr.window);
        d.segment.start_frame =
            (d.good_since > w ? d.good_since - w : 0) * static_cast<std::uint64_t>(d.stride);
        d.level_sum = d.signal_sum = d.noise_sum = d.speed_sum = d.polarity_sum = 0.0;
        d.level_count = d.speed_count = d.polarity_count = 0.0;
        std::fill(std::begin(d.gap_counts), std::end(d.gap_counts), 0.0);
    } else if (d.carrier && (d.quality < carrier_off || d.tone_fit < fit_off)) {
        close_segment(d, sink);
        d.held_count = 0;
        d.last_start = -1e300;
    }
}

void learn_amplitude(double& amp, bool& known, double mag) {
    if (!(mag > 0.0)) return;
    if (!known) {
        amp = mag;
        known = true;
    } else {
        amp += (mag - amp) * amp_weight;
    }
}

void learn_bit(recover_decoder& d, const judgement& j) {
    if (j.quality < 0.3 || std::abs(j.margin) < 0.5) return;
    if (j.margin > 0.0) {
        learn_amplitude(d.amp1, d.amp1_known, j.mag1);
        if (!d.amp0_known) d.amp0 = d.amp1;
    } else {
        learn_amplitude(d.amp0, d.amp0_known, j.mag0);
        if (!d.amp1_known) d.amp1 = d.amp0;
    }
}

void emit_byte(recover_decoder& d, const recovered_byte& b, const recover_sink& sink) {
    ++d.segment.bytes;
    if (b.framing_error) ++d.segment.framing_errors;
    if (sink.byte) sink.byte(b);
}

// The segment's idle gaps, recent ones weighing more: a stream keeps to a few gap lengths.
void learn_gap(recover_decoder& d, int gap) {
    double total = 0.0;
    for (const double c : d.gap_counts)
        total += c;
    if (total > 200.0) {
        for (double& c : d.gap_counts)
            c *= 0.5;
    }
    d.gap_counts[std::clamp(gap, 0, 3)] += 1.0;
}

// Bits it takes to tell an idle gap of this length (or, cut off by the end of what is seen, of
// at least this length) under the gaps the segment has shown.
double gap_cost(const recover_decoder& d, int gap, bool at_least) {
    double total = 0.0, here = 0.0;
    for (int g = 0; g < 4; ++g) {
        const double c = d.gap_counts[g] + 0.25;
        total += c;
        if (g == std::min(gap, 3) || (at_least && g > gap)) here += c;
    }
    return std::log2(total / here);
}

// The bits it takes to tell bits[0, count) as bytes framed from a start bit at first: the
// bits before it and every data bit one each, each gap by its likelihood; start bits cost
// nothing.
double framing_cost(const recover_decoder& d, const bool* mark, int count, int first) {
    // Before it, the end of a byte whose start went unheard: up to eight data bits, then the
    // gap, which may be any of the marks it ends with. More than that passes over a byte.
    double cost = 0.0;
    if (first > 0) {
        int idle = 0;
        while (idle < first && mark[first - 1 - idle])
            ++idle;
        double chance = 0.0;
        for (int g = std::max(0, first - 8); g <= idle; ++g)
            chance += std::exp2(-gap_cost(d, g, false) - (first - g));
        cost = chance > 0.0 ? -std::log2(chance) : first + 8.0;
    }
    int at = first;
    while (at < count) {
        if (at + 9 > count) {
            cost += count - at - 1;
            break;
        }
        cost += 8.0;
        int run = 0;
        while (at + 9 + run < count && mark[at + 9 + run])
            ++run;
        if (at + 9 + run >= count) {
            cost += gap_cost(d, run, true);
            break;
        }
        cost += gap_cost(d, run, false);
        at += 9 + run;
    }
    return cost;
}

// Back from a silent dropout mid-byte, the first space is as likely a data bit as a start bit,
// and a frame picked wrongly holds for many bytes: each space is tried as the start bit, framed
// over the next bits, and the framing that explains them best with the gaps this segment has shown
// is taken.
void choose_frame(recover_decoder& d, int horizon) {
    const double p = d.period;
    const double hw = d.half_window;
    // The first bit whose window lies all after the signal's return.
    const int first = std::max(-resync_before,
                               static_cast<int>(std::ceil((d.returned - d.anchor + hw) / p - 0.5)));
    bool mark[resync_bits + resync_before];
    const int count = std::max(0, horizon - first);
    for (int k = 0; k < count; ++k)
        mark[k] = judge(d, sums_at(d, d.anchor + (first + k + 0.5) * p + hw)).margin > 0.0;
    int best = -1;
    double best_cost = 0.0;
    for (int k = 0; k < std::min(count, resync_reach); ++k) {
        if (mark[k]) continue;
        const double cost = framing_cost(d, mark, count, k);
        if (best < 0 || cost < best_cost) {
            best = k;
            best_cost = cost;
        }
    }
    d.anchored = false;
    if (best < 0) {
        d.state = recover_state::search;
        d.idle_count = 0;
        d.idle_steady = false;
        d.next_slot = 0;
        return;
    }
    d.start_time = d.anchor + (first + best) * p;
    d.on_clock = false;
    d.fallback_valid = false;
    d.space_before = false;
    d.state = recover_state::wait_byte;
    d.due = d.start_time + 9.8 * p + hw;
}

// The byte whose start edge is d.start_time, read once all its windows are in: bits at the
// centres of the tracked clock, the clock then corrected from the byte's own transitions and
// the bits read again.
void read_byte(recover_decoder& d, const recover_sink& sink, bool at_end) {
    // A start never set (its mark far in the past) frames nothing: back to the search.
    if (!(d.start_time >= 0.0)) {
        d.state = recover_state::search;
        return;
    }
    const double hw = d.half_window;
    const double w = d.length;
    const double nominal = d.nominal_period;
    double t0 = d.start_time;
    double p = d.period;
    // How this byte followed the last, before the end of it sets up the next.
    const bool after_clock = d.on_clock;
    const double bits_before = d.bits_since;
    judgement bits[10];
    const auto decide = [&] {
        for (int k = 0; k < 10; ++k)
            bits[k] = judge(d, sums_at(d, t0 + (k + 0.5) * p + hw));
    };
    // Each transition tells how far the clock is off there: a window centred on the
    // estimated boundary leans toward the bit it overlaps more.
    const auto clock_error = [&](double& count) {
        double sum = 0.0;
        count = 0.0;
        for (int k = 1; k < 10; ++k) {
            const bool before = bits[k - 1].margin > 0.0;
            if (before == (bits[k].margin > 0.0)) continue;
            const double m = judge(d, sums_at(d, t0 + k * p + hw)).margin;
            sum += (before ? m : -m) * w / 2.0;
            count += 1.0;
        }
        return count > 0.0 ? sum / count : 0.0;
    };
    decide();
    double count = 0.0;
    double error = clock_error(count);
    if (d.on_clock) {
        // The byte began where the running clock expected it: the clock has the history of
        // every transition before, so this byte's own (noisy) timing only nudges it.
        t0 += 0.4 * error;
        d.period += 0.15 * error / std::max(1.0, d.bits_since);
        decide();
    } else {
        // A start found by its edge alone: the byte's transitions set its timing.
        for (int pass = 0; pass < 2 && count > 0.0; ++pass) {
            t0 = std::clamp(t0 + error, d.start_time - 0.3 * p, d.start_time + 0.3 * p);
            decide();
            error = clock_error(count);
        }
    }
    // With one tone much weaker than the other, the strong tone's share of a window that
    // straddles a boundary outweighs the weak one's and pulls those measurements aside;
    // full windows are not fooled: the byte is then placed where its bits are clearest.
    const double imbalance = d.amp0 > d.amp1 ? d.amp0 / d.amp1 : d.amp1 / d.amp0;
    if (imbalance > 2.0) {
        const auto clarity = [&](double shift) {
            double sum = 0.0;
            for (int k = 0; k < 10; ++k)
                sum += std::abs(judge(d, sums_at(d, t0 + shift + (k + 0.5) * p + hw)).margin);
            return sum;
        };
        // Searched in tenths of a bit up to half a bit either way, then refined between.
        const double h = 0.1 * p;
        int best = 0;
        double values[11];
        for (int i = 0; i < 11; ++i) {
            values[i] = clarity((i - 5) * h);
            if (values[i] > values[best]) best = i;
        }
        double shift = (best - 5) * h;
        if (best > 0 && best < 10) {
            const double before = values[best - 1], here = values[best], after = values[best + 1];
            const double curve = before + after - 2.0 * here;
            if (curve < 0.0) shift += std::clamp(0.5 * h * (before - after) / curve, -h, h);
        }
        t0 += shift;
        decide();
    }

    // The stop bit's window may not be complete at the end of the input.
    const double newest = static_cast<double>(d.frame) - 1.0;
    const bool stop_known = !at_end || t0 + 9.5 * p + hw <= newest;

    unsigned value = 0;
    double confidence = 1.0;
    for (int k = 0; k < 9; ++k) {
        if (k > 0) value |= static_cast<unsigned>(bits[k].margin > 0.0) << (k - 1);
        confidence = std::min(confidence, std::abs(bits[k].margin));
    }
    const int judged = stop_known ? 10 : 9;
    for (int k = 0; k < judged; ++k) {
        const double t = t0 + (k + 0.5) * p + hw;
        const double fit = bit_frequency_fit(d, t, p, bits[k].margin > 0.0);
        note_quality(d, bits[k], fit, t, sink);
        learn_bit(d, bits[k]);
        if (d.carrier) {
            const bool mark = bits[k].margin > 0.0;
            const double mag = mark ? bits[k].mag1 : bits[k].mag0;
            const double other = mark ? bits[k].mag0 : bits[k].mag1;
            d.level_sum += mag * 2.0 / w / (mark ? d.gain1 : d.gain0);
            d.level_count += 1.0;
            d.signal_sum += std::max(0.0, mag * mag - other * other);
            d.noise_sum += other * other;
            // The first clear bits of a segment tell its polarity well enough.
            if (d.polarity_count < 64.0 && bits[k].quality > 0.3 &&
                std::abs(bits[k].margin) > 0.5) {
                d.polarity_sum += boundary_phase(d, t0, p, k, mark);
                d.polarity_count += 1.0;
            }
        }
    }

    d.period = std::clamp(d.period, slowest * nominal, fastest * nominal);

    recovered_byte out;
    out.value = static_cast<std::uint8_t>(value);
    out.start_frame =
        static_cast<std::uint64_t>(std::max(0.0, std::round((t0 - d.delay) * d.stride)));
    out.confidence = std::clamp(confidence, 0.0, 1.0);

    d.state = recover_state::search;
    d.idle_count = 0;
    d.idle_steady = false;
    d.earliest_crossing = t0 + 9.25 * p + hw;
    d.next_slot = 10;
    d.last_start = t0;
    // Where the segment has stop bits, thirty bits of the lower tone and more are no data but
    // a steady tone (or a break): nothing is read from them until a mark turns into a space
    // again. Without stop bits they are zero bytes, told from a tone by the data after them.
    int trailing = 0;
    while (trailing < 10 && bits[9 - trailing].margin <= 0.0)
        ++trailing;
    const bool all_space = stop_known && trailing == 10;
    d.space_run = all_space ? (d.space_before ? d.space_run : 0) + 10 : trailing;
    const bool steady_space = all_space && d.space_run >= 30 && d.seen_stop;
    if (steady_space) {
        d.next_slot = 0;
    } else if (stop_known) {
        const double stop = bits[9].margin;
        if (stop > 0.0) {
            if (d.carrier) d.seen_stop = true;
        } else {
            out.framing_error = d.seen_stop;
            if (!at_end) {
                // No idle bit: the next start bit follows at once.
                d.state = recover_state::wait_byte;
                d.start_time = t0 + 9.0 * p;
                d.on_clock = true;
                d.bits_since = 9.0;
                d.space_before = bits[8].margin <= 0.0;
                d.due = d.start_time + 9.8 * d.period + hw;
            }
        }
    }
    // A byte read mostly from something else than clean tones, or whose bits are mostly
    // undecided (a dropout, speech that happened to hold the carrier detector), is not output.
    double clear = 0.0, decided = 0.0;
    for (int k = 0; k < 10; ++k) {
        clear += bits[k].quality / 10.0;
        decided += std::abs(bits[k].margin) / 10.0;
    }
    if (!d.carrier || steady_space || clear < 0.45 || decided < 0.3) {
        d.held_count = 0;
        d.pending_count = 0;
        return;
    }
    d.idle_run = 0;
    if (!d.established) {
        // Until then only clean bytes with their stop bits, each on the clock of the one
        // before, count; anything else starts the count again.
        const bool framed = stop_known && bits[9].margin > 0.0 && clear >= 0.6 &&
                            out.confidence >= 0.3 && (d.pending_count == 0 || d.on_clock);
        d.held_count = 0;
        if (!framed) {
            d.pending_count = 0;
            return;
        }
        d.pending[d.pending_count++] = out;
        if (d.pending_count < d.pending.size()) return;
        d.established = true;
        for (const recovered_byte& b : d.pending)
            emit_byte(d, b, sink);
        d.pending_count = 0;
        return;
    }
    d.speed_sum += nominal / p - 1.0;
    d.speed_count += 1.0;
    learn_gap(d, after_clock ? static_cast<int>(std::lround(bits_before)) - 9 : 3);
    // Frames of spaces only (zero bytes with no idle bit) are held until a frame shows data
    // goes on: a tone that merely turned low reads as such frames too. They follow each other
    // nine bits apart.
    if (all_space) {
        if (d.held_count == 0) {
            d.held = out;
            d.held_step = 9.0 * p * d.stride;
        }
        ++d.held_count;
        return;
    }
    for (std::uint64_t k = 0; k < d.held_count; ++k) {
        recovered_byte b = d.held;
        b.start_frame +=
            static_cast<std::uint64_t>(std::round(static_cast<double>(k) * d.held_step));
        emit_byte(d, b, sink);
    }
    d.held_count = 0;
    emit_byte(d, out, sink);
}

// The clock's next slot for a start bit, once frame n is past it: true if a start is there.
bool check_slot(recover_decoder& d, double n, bool behind) {
    if (d.next_slot == 0) return false;
    const double slot = d.last_start + (d.next_slot + 0.5) * d.period + d.half_window;
    if (n < slot) return false;
    const judgement j = judge(d, sums_at(d, slot));
    if (j.margin < 0.0 && j.quality > 0.0) {
        d.start_time = d.last_start + d.next_slot * d.period;
        d.on_clock = true;
        d.bits_since = d.next_slot;
        d.state = recover_state::wait_byte;
        d.space_before = false;
        d.due = d.start_time + 9.8 * d.period + d.half_window;
        d.next_slot = 0;
        return true;
    }
    d.next_slot = d.next_slot < 12 || behind ? d.next_slot + 1 : 0;
    return false;
}

// The per-frame work once the sums of frame n are in.
void step(recover_decoder& d, const window_sums& s, const recover_sink& sink) {
    const double n = static_cast<double>(d.frame) - 1.0;
    // Energies over each tone's amplitude squared, both times amp0^2 amp1^2: no division.
    const double w0 = d.amp0 * d.amp0, w1 = d.amp1 * d.amp1;
    const double e0 = (s.r0 * s.r0 + s.i0 * s.i0) * w1;
    const double e1 = (s.r1 * s.r1 + s.i1 * s.i1) * w0;
    const bool heard = s.energy > d.floor_energy;
    if (heard && d.carrier && static_cast<double>(d.silent_frames) >= d.nominal_period) {
        // Back after a window's length of silence or more: whatever byte was under way is
        // lost, and the frame is sought afresh.
        d.state = recover_state::resync;
        d.returned = n;
        d.anchored = false;
        d.solid_mark = false;
        d.crossing_valid = false;
    }
    d.silent_frames = heard ? 0 : d.silent_frames + 1;
    if (d.carrier && static_cast<double>(d.silent_frames) > longest_dropout * d.nominal_period) {
        close_segment(d, sink);
        d.held_count = 0;
        d.last_start = -1e300;
    }
    // A recording that begins on a start bit (no leader) has its first edge at its first frame.
    if (heard && !d.crossing_valid && d.last_start < -1e299 &&
        d.frame <= static_cast<std::uint64_t>(d.corr.window / 2) && e0 > e1) {
        d.crossing = d.half_window + d.delay;
        d.crossing_valid = true;
    }
    const bool mark = heard && e1 > e0;
    if (mark && e1 > start_energy_ratio * e0) d.solid_mark = true;
    if (d.was_mark && !mark && heard) {
        // The window is centred on the edge where the normalised amplitudes are equal.
        const window_sums& p = d.history[(d.frame - 2) & (d.history.size() - 1)];
        const double pd = std::sqrt((p.r1 * p.r1 + p.i1 * p.i1) * w0) -
                          std::sqrt((p.r0 * p.r0 + p.i0 * p.i0) * w1);
        const double nd = std::sqrt(e1) - std::sqrt(e0);
        const double f = pd - nd > 0.0 ? std::clamp(pd / (pd - nd), 0.0, 1.0) : 1.0;
        const double at = n - 1.0 + f;
        if (d.solid_mark) {
            d.crossing = at;
            d.crossing_valid = true;
        } else if (d.crossing_valid && at - d.crossing < 0.5 * d.corr.window) {
            // Noise or an unbalanced pair can make the edge cross more than once: the
            // edge lies between the crossings.
            d.crossing = 0.5 * (d.crossing + at);
        } else {
            d.crossing_valid = false;
        }
        d.solid_mark = false;
    }
    d.was_mark = mark;

    switch (d.state) {
        case recover_state::search: {
            // Still reading bytes from before now (after a dropout): the next start is sought
            // at the clock's slots, bit by bit, never at an edge heard later.
            const bool behind =
                d.next_slot > 0 &&
                n > d.last_start + (d.next_slot + 0.5) * d.period + d.half_window + d.length;
            if (!behind && heard && e0 > start_energy_ratio * e1 && d.crossing_valid &&
                n - d.crossing <= 0.5 * d.corr.window && d.crossing >= d.earliest_crossing) {
                d.crossing_valid = false;
                double t0 = d.crossing - d.half_window;
                // A start edge a whole number of bits after the last one is pulled onto
                // the clock: the edge alone is the noisiest timing the byte has.
                // An edge seen late (the strong tone of an unbalanced pair leaks into the weak
                // one's correlator while the window straddles the edge) is still taken from
                // the clock; the start check then looks at that slot.
                const double since = t0 - d.last_start;
                d.on_clock = false;
                const double nearest = std::round(since / d.period);
                const double below = std::floor(since / d.period);
                d.fallback_valid = false;
                // How late the edge may be seen: with the upper tone much the weaker, most of
                // a bit.
                const double lag = d.amp1 < 0.5 * d.amp0 ? 0.9 : 0.35;
                const double late = since - below * d.period;
                if (below >= 10.0 && below <= 16.0 && late < lag * d.period) {
                    t0 = d.last_start + below * d.period;
                    d.on_clock = true;
                    d.bits_since = below;
                    d.fallback = d.crossing - d.half_window;
                    d.fallback_valid = late >= 0.35 * d.period;
                } else if (nearest >= 10.0 && nearest <= 16.0 &&
                           std::abs(since - nearest * d.period) < 0.35 * d.period) {
                    t0 = d.last_start + nearest * d.period;
                    d.on_clock = true;
                    d.bits_since = nearest;
                } else if (below >= 10.0 && below <= 16.0 &&
                           since - below * d.period < 0.9 * d.period) {
                    d.fallback = t0;
                    d.fallback_valid = true;
                    t0 = d.last_start + below * d.period;
                    d.on_clock = true;
                    d.bits_since = below;
                }
                d.start_time = t0;
                d.state = recover_state::check_start;
                d.space_before = false;
                d.due = t0 + 0.5 * d.period + d.half_window;
                d.idle_count = 0;
                d.idle_steady = false;
                d.next_slot = 0;
                break;
            }
            // A start bit missed at its edge (noise can hide the edge, never a whole bit) is
            // still found where the clock says the next bytes may begin.
            if (check_slot(d, n, behind)) break;
            // Between bytes the carrier is checked once per window; the first window after a
            // byte still holds its end.
            if (++d.idle_count >= 2 * static_cast<std::uint64_t>(d.corr.window)) {
                d.idle_count -= static_cast<std::uint64_t>(d.corr.window);
                const judgement j = judge(d, s);
                const bool steady = j.margin > start_margin && j.quality > 0.6;
                double fit = 1.0;
                if (steady) {
                    learn_bit(d, j);
                    // The idle tone turns in the correlator by its offset from nominal, and
                    // tape speed moves tones and bit rate alike.
                    if (d.idle_steady) {
                        const std::complex<double> now(s.r1, s.i1), before(d.idle_r1, d.idle_i1);
                        const double turn = std::arg(now * std::conj(before));
                        const double offset = turn * d.frame_rate / (two_pi * d.corr.window) /
                                              (2.0 * d.signal.lower_tone);
                        fit = frequency_fit(d, offset);
                        const double target = d.nominal_period / (1.0 + offset);
                        d.period =
                            std::clamp(d.period + (target - d.period) * 0.1,
                                       slowest * d.nominal_period, fastest * d.nominal_period);
                    }
                    d.idle_r1 = s.r1;
                    d.idle_i1 = s.i1;
                }
                d.idle_steady = steady;
                d.idle_run = steady && fit > fit_on ? d.idle_run + 1 : 0;
                note_quality(d, j, fit, n, sink);
                if (d.carrier && d.idle_run >= established_idle) d.established = true;
            }
            break;
        }
        case recover_state::check_start:
            if (n >= d.due) {
                const judgement j = judge(d, sums_at(d, d.due));
                if (j.margin < -0.1 && j.quality > 0.0) {
                    if (!d.amp0_known) learn_bit(d, j);
                    d.state = recover_state::wait_byte;
                    d.due = d.start_time + 9.8 * d.period + d.half_window;
                } else if (d.fallback_valid) {
                    // No start bit in the slot: the edge itself, then.
                    d.fallback_valid = false;
                    d.on_clock = false;
                    d.start_time = d.fallback;
                    d.due = d.fallback + 0.5 * d.period + d.half_window;
                } else {
                    d.state = recover_state::search;
                    d.idle_count = 0;
                    d.idle_steady = false;
                }
            }
            break;
        case recover_state::wait_byte:
            if (n >= d.due) read_byte(d, sink, false);
            break;
        case recover_state::resync:
            // The first start edge whose window is all after the return sets the bit grid.
            if (!d.anchored && d.crossing_valid && d.crossing >= d.returned + d.length - 1.0) {
                d.anchor = d.crossing - d.half_window;
                d.anchored = true;
            }
            if (d.anchored && n >= d.anchor + (resync_bits + 0.5) * d.period + d.half_window) {
                choose_frame(d, resync_bits);
            } else if (!d.anchored && n > d.returned + resync_reach * d.period) {
                d.state = recover_state::search;
                d.idle_count = 0;
                d.idle_steady = false;
                d.next_slot = 0;
            }
            break;
    }
}

// The correlator's per-sample state, held in locals while a piece of the input runs through.
struct correlator_registers {
    double osc_r, osc_i;
    window_sums sums;
    std::size_t slot;
    std::uint64_t count;
};

correlator_registers load_registers(const tone_correlator& c) {
    return {c.osc_r, c.osc_i, c.sums, c.slot, c.count};
}

void store_registers(tone_correlator& c, const correlator_registers& r) {
    c.osc_r = r.osc_r;
    c.osc_i = r.osc_i;
    c.sums = r.sums;
    c.slot = r.slot;
    c.count = r.count;
}

// The exact sums of the whole window's terms, the oldest held excluded.
[[gnu::noinline]] window_sums total_of(const tone_correlator& c, std::size_t oldest) {
    window_sums total;
    for (std::size_t k = 1; k < c.products.size(); ++k) {
        const window_sums& p = c.products[(oldest + k) % c.products.size()];
        total.r0 += p.r0;
        total.i0 += p.i0;
        total.r1 += p.r1;
        total.i1 += p.i1;
        total.energy += p.energy;
    }
    return total;
}

inline window_sums with_fraction(const window_sums& s, const window_sums& oldest, double f) {
    return {s.r0 + f * oldest.r0, s.i0 + f * oldest.i0, s.r1 + f * oldest.r1, s.i1 + f * oldest.i1,
            s.energy + f * oldest.energy};
}

inline void correlate(tone_correlator& c, correlator_registers& r, double y) {
    const double ur = r.osc_r * r.osc_r - r.osc_i * r.osc_i;  // the upper tone: twice the angle
    const double ui = 2.0 * r.osc_r * r.osc_i;
    const window_sums in{y * r.osc_r, y * r.osc_i, y * ur, y * ui, y * y};
    const std::size_t size = c.products.size();
    std::size_t next = r.slot + 1;
    if (next == size) next = 0;
    const window_sums& out = c.products[next];  // leaves the whole window, kept for the fraction
    r.sums.r0 += in.r0 - out.r0;
    r.sums.i0 += in.i0 - out.i0;
    r.sums.r1 += in.r1 - out.r1;
    r.sums.i1 += in.i1 - out.i1;
    r.sums.energy += in.energy - out.energy;
    c.products[r.slot] = in;
    r.slot = next;
    ++r.count;
    if (r.count % oscillator_resync == 0) {
        c.count = r.count;
        resync_oscillator(c);
        r.osc_r = c.osc_r;
        r.osc_i = c.osc_i;
        if (r.count % sums_resync == 0) r.sums = total_of(c, r.slot);
    } else {
        const double re = r.osc_r * c.step_r - r.osc_i * c.step_i;
        r.osc_i = r.osc_r * c.step_i + r.osc_i * c.step_r;
        r.osc_r = re;
    }
}

}  // namespace

tone_correlator make_tone_correlator(std::int32_t window, std::int32_t sample_rate,
                                     std::int32_t lower_tone, std::int32_t stride,
                                     double fraction) {
    if (window <= 0 || sample_rate <= 0 || lower_tone <= 0 || stride <= 0 ||
        !(fraction >= 0.0 && fraction < 1.0)) {
        throw fskdec_error("unusable correlator settings");
    }
    tone_correlator c;
    c.window = window;
    c.sample_rate = sample_rate;
    c.lower_tone = lower_tone;
    c.stride = stride;
    c.fraction = fraction;
    const double angle = two_pi * static_cast<double>(lower_tone) * static_cast<double>(stride) /
                         static_cast<double>(sample_rate);
    c.step_r = std::cos(angle);
    c.step_i = -std::sin(angle);
    c.products.assign(static_cast<std::size_t>(window) + 1, window_sums{});
    return c;
}

window_sums correlator_sums(const tone_correlator& c) {
    return with_fraction(c.sums, c.products[c.slot], c.fraction);
}

void correlate_sample(tone_correlator& c, double y) {
    correlator_registers r = load_registers(c);
    correlate(c, r, y);
    store_registers(c, r);
}

recover_decoder make_recover_decoder(const fsk_signal& signal, std::int32_t sample_rate,
                                     double full_scale) {
    if (signal.baud_rate <= 0) throw fskdec_error("illegal baud rate");
    if (signal.lower_tone <= 0) throw fskdec_error("illegal carrier frequency");
    // A rate of 0 or less (a header that says so) is too low as any other is, as the default
    // decoder reports it.
    if (sample_rate <= 0) throw fskdec_error("sample rate too low for the carrier frequency");
    if (!(full_scale > 0.0) || !std::isfinite(full_scale)) {
        throw fskdec_error("illegal full scale");
    }
    if (std::int64_t{signal.lower_tone} * 4 >= sample_rate ||
        std::int64_t{signal.baud_rate} * 4 > sample_rate) {
        throw fskdec_error("sample rate too low for the carrier frequency");
    }
    recover_decoder d;
    d.signal = signal;
    d.sample_rate = sample_rate;
    d.full_scale = full_scale;
    const double f0 = signal.lower_tone;
    const double f1 = 2.0 * f0;
    // Frames are kept at no less than six times the upper tone: the band filter's corner
    // stays below the new Nyquist frequency, and the correlators see a few frames per cycle.
    d.stride = std::max<std::int32_t>(
        1, static_cast<std::int32_t>(static_cast<double>(sample_rate) / (6.0 * f1)));
    d.frame_rate = static_cast<double>(sample_rate) / d.stride;
    // A triangle of 2 stride - 1 taps: its zeros fall on every multiple of the new sample
    // rate, where what folds onto the tones comes from. The first kept frame is centred on the
    // first input frame, the taps before it on silence.
    d.phase = d.stride - 1;
    const auto taps_gain = [&](double f) {
        if (d.stride == 1) return 1.0;
        const double x = std::numbers::pi * f / sample_rate;
        const double g = std::sin(x * d.stride) / (d.stride * std::sin(x));
        return g * g;
    };

    const double rate = d.frame_rate;
    d.nominal_period = rate / signal.baud_rate;
    d.period = d.nominal_period;
    // The window is one bit long: a whole number of cycles of either tone, which leave
    // nothing in the other tone's correlator.
    const auto window = static_cast<std::int32_t>(std::floor(d.nominal_period));
    d.length = d.nominal_period;
    d.half_window = (d.length - 1.0) / 2.0;
    d.corr = make_tone_correlator(window, sample_rate, signal.lower_tone, d.stride,
                                  d.nominal_period - window);

    // The band the tones can occupy, off speed included: hum, DC and most hiss stay outside.
    d.high_pass = high_pass(0.25 * f0, rate);
    d.low_pass = low_pass(std::min(1.6 * f1, 0.45 * rate), rate);
    const auto g0 = response(d.high_pass, f0, rate) * response(d.low_pass, f0, rate);
    const auto g1 = response(d.high_pass, f1, rate) * response(d.low_pass, f1, rate);
    d.gain0 = std::abs(g0) * taps_gain(f0);
    d.gain1 = std::abs(g1) * taps_gain(f1);
    // Edges come out of the filters late by their group delay (the same across the band, near
    // enough); what phase they add beyond that delay is taken off each tone when its phase at
    // the bit boundaries gives the polarity.
    const auto delay_at = [&](double f) {
        const double df = 1.0;
        const auto g = [&](double x) {
            return response(d.high_pass, x, rate) * response(d.low_pass, x, rate);
        };
        const double turn = std::arg(g(f + df) * std::conj(g(f - df)));
        return -turn * rate / (two_pi * 2.0 * df);
    };
    d.delay = 0.5 * (delay_at(f0) + delay_at(f1));
    d.turn0 = std::remainder(std::arg(g0) + two_pi * f0 / rate * d.delay, two_pi);
    d.turn1 = std::remainder(std::arg(g1) + two_pi * f1 / rate * d.delay, two_pi);

    // Below a thousandth of full scale a window counts as silence.
    const double quiet = 1e-3 * full_scale;
    d.floor_energy = quiet * quiet * d.length / 2.0;

    // A byte is read once its stop bit is in, at the slowest clock, plus the window; after a
    // dropout the frame is chosen from bits reaching further back, and read from there on.
    const auto held = static_cast<std::size_t>(std::ceil((resync_bits + resync_before + 2) *
                                                         fastest * d.nominal_period)) +
                      static_cast<std::size_t>(window) + 8 + piece_frames;
    d.history.assign(std::bit_ceil(held), window_sums{});  // a frame's slot by a mask
    return d;
}

namespace {

// The decoder's frames, kept ones, through the band filter, the correlators and the decisions.
void run_frames(recover_decoder& d, std::span<const double> samples, const recover_sink& sink) {
    const std::size_t held = d.history.size();
    // The filters and correlators run over a piece of the input first, in a tight loop of
    // their own; the slack at the end of the history keeps what the decisions still read.
    while (!samples.empty()) {
        const std::size_t count = std::min(samples.size(), piece_frames);
        std::size_t slot = static_cast<std::size_t>(d.frame % held);
        biquad hp = d.high_pass, lp = d.low_pass;
        correlator_registers r = load_registers(d.corr);
        window_sums* history = d.history.data();
        const double fraction = d.corr.fraction;
        for (std::size_t i = 0; i < count; ++i) {
            correlate(d.corr, r, filter(lp, filter(hp, samples[i])));
            history[slot] = with_fraction(r.sums, d.corr.products[r.slot], fraction);
            if (++slot == held) slot = 0;
        }
        store_registers(d.corr, r);
        d.high_pass = hp;
        d.low_pass = lp;
        slot = static_cast<std::size_t>(d.frame % held);
        for (std::size_t i = 0; i < count; ++i) {
            ++d.frame;
            step(d, d.history[slot], sink);
            if (++slot == held) slot = 0;
        }
        samples = samples.subspan(count);
    }
}

}  // namespace

void recover_samples(recover_decoder& d, std::span<const double> samples,
                     const recover_sink& sink) {
    if (d.stride == 1) {
        run_frames(d, samples, sink);
        return;
    }
    const std::int32_t stride = d.stride;
    const double scale = 1.0 / (static_cast<double>(stride) * stride);
    double rising = d.rising, rising_before = d.rising_before, falling = d.falling;
    std::int32_t phase = d.phase;
    double kept[piece_frames];
    std::size_t count = 0;
    for (const double x : samples) {
        rising += (phase + 1) * x;
        falling += (stride - 1 - phase) * x;
        // The kept frame of the block before has its last nonzero tap here.
        if (phase == stride - 2) {
            kept[count++] = (rising_before + falling) * scale;
            falling = 0.0;
            if (count == piece_frames) {
                run_frames(d, std::span<const double>(kept, count), sink);
                count = 0;
            }
        }
        if (++phase == stride) {
            rising_before = rising;
            rising = 0.0;
            phase = 0;
        }
    }
    d.rising = rising;
    d.rising_before = rising_before;
    d.falling = falling;
    d.phase = phase;
    run_frames(d, std::span<const double>(kept, count), sink);
}

void recover_finish(recover_decoder& d, const recover_sink& sink) {
    // The band filter holds the input's last frames back by its delay: silence brings them out.
    const double zeros[8] = {};
    const auto flush = std::min<std::size_t>(8, static_cast<std::size_t>(std::ceil(d.delay)) + 2);
    run_frames(d, std::span<const double>(zeros, flush), sink);
    const double newest = static_cast<double>(d.frame) - 1.0;
    // The input ended while the frame was sought after a dropout: it is chosen from the bits
    // there are, and the bytes up to the end read.
    if (d.state == recover_state::resync && d.anchored) {
        const double bits = (newest - d.half_window - d.anchor) / d.period - 0.5;
        choose_frame(d, std::min(resync_bits, static_cast<int>(std::floor(bits)) + 1));
        for (;;) {
            if (d.state == recover_state::wait_byte && d.due <= newest) {
                read_byte(d, sink, false);
            } else if (d.state == recover_state::search && d.next_slot > 0 &&
                       d.last_start + (d.next_slot + 0.5) * d.period + d.half_window <= newest) {
                check_slot(d, newest, true);
            } else {
                break;
            }
        }
    }
    if (d.state == recover_state::wait_byte &&
        d.start_time + 8.5 * d.period + d.half_window <= newest) {
        read_byte(d, sink, true);
    }
    d.state = recover_state::search;
    if (d.carrier) close_segment(d, sink);
}
