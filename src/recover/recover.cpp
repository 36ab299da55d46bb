// The recovery demodulator: a chain of stages, each with its own state and reset, owned by one
// engine (opaque to callers, all of its memory taken when it is made) that runs a small state
// machine over them. Every tuning number is in tuning.h, with its reason.
//
// Front end (front_end.h). Far above the upper tone the input is low-passed by a triangle and
// only every stride-th frame kept; a band filter keeps hum, DC and most hiss out. Everything
// after it counts in kept frames; frames reported outside are input frames, the band filter's
// group delay taken off.
//
// Tone correlators (tone_correlator.h). Both tones are correlated over a window exactly one
// bit long with running sums, O(1) per frame. The sums of the last bytes' worth of frames are
// kept, so decisions can look back at any (interpolated) window. A window is judged by the
// level-free discriminator (the two tones' normalised amplitudes) and its quality: the share
// of its energy that tells the bit, the energy outside the tones' bins counted as in a band a
// few bit rates wide (at 300 baud the band filter is far wider than a bit needs).
//
// Level tracker (level_tracker.h). Each tone's amplitude, learnt from the clear bits of the
// carrier at hand: the leader gives the upper tone, the first start bits the lower. Outside a
// carrier it lasts only as long as the run of good bits that taught it, and it is forgotten,
// with the clock's speed, where a carrier ends: hiss leaves nothing for the carrier after it.
//
// Bit clock and framer (this file). A start is the crossing from mark to space, pulled onto
// the running bit clock when it falls a whole number of bits after the previous start; a byte
// is read once its stop bit is in, each bit from the window centred on it, and the clock is
// then corrected from the byte's own transitions. A missing stop bit means the next start
// follows at once (recordings without idle bits). Sound rising 10 dB out of the background
// (silence or hiss) on the lower tone begins on a start bit: a block without a leader is read
// from its first bit. The states, with their transitions in the to_* functions:
//   search       between bytes: start edges and the clock's slots are watched, the idle tone
//                checked once a window;
//   check_start  an edge was seen: is there a start bit at its centre?
//   wait_byte    a start is set: the byte is read once its stop bit is in;
//   resync       back from a silent dropout, or at the recording's first frame: the byte frame
//                is chosen anew (resync.h, a pure function of the bits heard);
//   frame        in a noisy carrier (both tones less than 13 dB above the noise, balanced),
//                after a byte: the next start is chosen once the three bytes after it are in, as
//                the framing of them that goes against the fewest and faintest bits
//                (resync.h), and the clock follows each byte's transitions more slowly. A
//                single bit flipped by noise next to a stop bit no longer slips the frame.
//
// Carrier detector (carrier_detector.h). Each bit's quality and how well its tone sits where
// the clock's speed puts it, averaged with hysteresis; silence counts for neither, so a
// dropout keeps the segment. A noisy carrier, once established, is held through a few poor
// bits in a row: it ends on quality only when a longer average is poor too. Silence is a
// window below a thousandth of full scale or, within a carrier, 40 dB below its weaker tone
// (hiss between blocks is silence); it ends only where sound lasts half a window, and 60 bits
// or 80 ms of it end the carrier. A carrier's bytes are held (byte_hold.h) until it shows FSK
// structure: twenty clean idle bits in a row, or a dozen clean bits of each tone on the bit
// clock where the clock's speed puts them; one that never does is no segment.
//
// Echo gate (echo_gate.h). Print-through: a stretch of carrier 15 dB weaker than one within
// three seconds before or after it, that repeats most of its bytes, is not output, and is
// reported as a segment flagged echo.
//
// Segment figures (segment_stats.h): level and SNR from the winning and losing tones, speed
// from the clock, and polarity from the winning tone's phase at the bit boundaries of the
// first clear bits (the encoder's tones stand at a positive peak there).

#include "recover/recover.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "base/error.h"
#include "recover/byte_hold.h"
#include "recover/carrier_detector.h"
#include "recover/echo_gate.h"
#include "recover/front_end.h"
#include "recover/level_tracker.h"
#include "recover/resync.h"
#include "recover/segment_stats.h"
#include "recover/tone_correlator.h"
#include "recover/tuning.h"

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

// A space must beat a mark by the start margin; squared, as the per-frame search compares
// energies.
constexpr double start_energy_ratio =
    ((1.0 + tuning::start_margin) / (1.0 - tuning::start_margin)) *
    ((1.0 + tuning::start_margin) / (1.0 - tuning::start_margin));

enum class phase { search, check_start, wait_byte, resync, frame };

}  // namespace

struct recover_engine {
    // Fixed by the settings.
    recover_signal signal;
    std::int32_t sample_rate = 0;
    double full_scale = 1.0;
    double nominal_period = 0.0;  // kept frames per bit
    double length = 0.0;          // the correlators' window, fraction included (frames)
    double half_window = 0.0;     // (length - 1) / 2: from a window's end to its centre
    double floor_energy = 0.0;    // window energies below this are silence
    double silence = 0.0;         // and, within a carrier, below this (see refresh_floor)
    double outside_weight = 1.0;  // of the band's energy outside the tones' bins (judge)

    // The stages.
    front_end front;
    tone_correlator corr;
    std::vector<window_sums> history;  // sums after each of the last history.size() frames
    std::uint64_t frame = 0;           // frames decided so far
    std::uint64_t input_frames = 0;    // input frames taken so far (the flush at the end not)
    level_tracker levels;
    carrier_detector detector;
    segment_stats stats;
    gap_statistics gaps;

    // Start edges on the per-frame discriminator.
    bool was_mark = false;
    bool solid_mark = false;                  // a clear upper tone since the last crossing
    std::optional<double> crossing;           // window-end time of the last mark-to-space crossing
    std::optional<double> earliest_crossing;  // none sooner (inside the last byte)
    std::uint64_t silent_frames = 0;          // frames of silence since sound last lasted
    std::uint64_t heard_frames = 0;           // frames heard in a row
    double longest_dropout = 0.0;             // frames of silence that end a carrier
    bool onset_due = true;                    // sound rising out of the background to be judged
    std::uint64_t loud_frames = 0;            // frames in a row well above the background
    double background = 0.0;                  // outside a carrier, window energies followed slowly
    double background_weight = 0.0;
    double onset_floor = 0.0;  // the background when the sound rose                    // sound
                               // after silence (or at the start) to be judged

    // Idle checks between bytes.
    std::uint64_t idle_count = 0;                   // frames since the last one
    std::optional<std::complex<double>> idle_tone;  // the last clean idle window's upper tone
    int idle_run = 0;                               // clean idle windows in a row

    // The bit clock.
    double period = 0.0;               // tracked frames per bit
    std::optional<double> last_start;  // start edge of the previous byte of this carrier
    int next_slot = 0;                 // bit after last_start where a start may stand; 0 none

    // The byte under way.
    phase state = phase::search;
    double start_time = 0.0;         // its start edge
    double due = 0.0;                // time of the next action
    bool on_clock = false;           // its start was taken from the running clock
    double bits_since = 0.0;         // bits from the previous start to it
    std::optional<double> fallback;  // the edge's own start, should the clock's slot hold none
    bool space_before = false;       // the bit before its start was a space
    int space_run = 0;               // spaces up to the end of the last byte read
    recovered_byte held;             // the first of held_count frames of spaces only, output
    std::uint64_t held_count = 0;    // once a frame of data follows
    double held_step = 0.0;          // input frames from one to the next

    // In a noisy carrier, the next start chosen from the bits after a byte (phase::frame): the
    // byte's last data bit, whether the bits up to the longest gap were looked at, and the
    // bits last read, from bit 9 after framed_from on at framed_period.
    bool last_bit_space = false;
    bool idle_seen = false;
    double framed_from = 0.0, framed_period = 0.0;
    int framed_count = 0;
    std::array<double, tuning::frame_lookahead + 1> framed_bits{};

    // Resync after a dropout: where the signal came back and the first clean start edge since.
    double returned = 0.0;
    std::optional<double> anchor;

    // The carrier's segment and whether its bytes are output yet.
    bool seen_stop = false;
    bool established = false;
    byte_hold hold;       // its bytes until then
    echo_gate gate;       // then whether they are print-through
    int clean_marks = 0;  // bits of either tone clean and where the clock puts the tone
    int clean_spaces = 0;
    double carrier_start = 0.0;           // where its first good bit began
    std::optional<double> trusted_until;  // a carrier back by then continues an established one
    std::uint64_t reported_end = 0;       // input frame where the last reported segment ended
};

recover_decoder::recover_decoder(std::unique_ptr<recover_engine> e) : engine(std::move(e)) {}
recover_decoder::recover_decoder(recover_decoder&&) noexcept = default;
recover_decoder& recover_decoder::operator=(recover_decoder&&) noexcept = default;
recover_decoder::~recover_decoder() = default;

namespace {

using engine = recover_engine;

// --- Reading the correlators.

// The sums at window end time t (fractional frames), interpolated between the two frames
// around it; t is clamped to the frames still held.
[[gnu::always_inline]] inline window_sums sums_at(const engine& d, double t) {
    // Up to piece_frames frames past the newest decided one may already be in the history.
    const auto held = static_cast<double>(d.history.size() - tuning::piece_frames);
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

[[gnu::always_inline]] inline judgement judge(const engine& d, const window_sums& s) {
    judgement j;
    const double e0 = s.r0 * s.r0 + s.i0 * s.i0;
    const double e1 = s.r1 * s.r1 + s.i1 * s.i1;
    j.mag0 = std::sqrt(e0);
    j.mag1 = std::sqrt(e1);
    const double amp0 = d.levels.lower, amp1 = d.levels.upper;
    const double n0 = j.mag0 / amp0;
    const double n1 = j.mag1 / amp1;
    if (n0 + n1 > 0.0) j.margin = (n1 - n0) / (n1 + n0);
    // A full window of one tone of amplitude A gives |S|^2 = (A w / 2)^2 and energy A^2 w / 2.
    if (s.energy > d.floor_energy) {
        j.silent = false;
        double band = s.energy * d.length / 2.0;
        // What lies outside the two tones' bins counts as if the band were only a few bit
        // rates wide (see tuning.h): at low bit rates the band is far wider than a bit needs.
        if (d.outside_weight < 1.0)
            band = e0 + e1 + std::max(0.0, band - e0 - e1) * d.outside_weight;
        // A stronger losing tone is weighed at the winner's level: with unbalanced tones the
        // strong one's tail in a weak bit is no sign of a poor carrier.
        const double balance = std::min(
            1.0, j.margin > 0.0 ? (amp1 * amp1) / (amp0 * amp0) : (amp0 * amp0) / (amp1 * amp1));
        const double win = j.margin > 0.0 ? e1 : e0;
        const double lose = (j.margin > 0.0 ? e0 : e1) * balance;
        j.quality = std::clamp((win - lose) / band, -1.0, 1.0);
    }
    return j;
}

void refresh_floor(engine& d);
void settle_frame(engine& d, double upto, const recover_sink& sink);

void learn_bit(engine& d, const judgement& j) {
    learn_bit(d.levels, j.mag0, j.mag1, j.margin, j.quality);
    refresh_floor(d);
}

double clock_offset(const engine& d) {
    return d.nominal_period / d.period - 1.0;
}

// How well one bit's tone sits where the clock puts it: the tone turns between windows a
// quarter bit before and after the bit's centre by its offset.
double bit_frequency_fit(const engine& d, double centre_end, double p, bool mark) {
    const window_sums a = sums_at(d, centre_end - 0.25 * p);
    const window_sums b = sums_at(d, centre_end + 0.25 * p);
    const std::complex<double> before =
        mark ? std::complex<double>(a.r1, a.i1) : std::complex<double>(a.r0, a.i0);
    const std::complex<double> after =
        mark ? std::complex<double>(b.r1, b.i1) : std::complex<double>(b.r0, b.i0);
    const double turn = std::arg(after * std::conj(before));
    const double tone = mark ? d.signal.upper_tone : d.signal.lower_tone;
    return frequency_fit(turn * d.front.frame_rate / (two_pi * 0.5 * p * tone), clock_offset(d));
}

// The cosine of the winning tone's phase at the start of bit k, relative to the tone as
// the encoder writes it (a cosine from every bit boundary, the tones whole cycles per bit).
// The window centred on the bit sees the tone half a bit on; a tone played fast or slow has
// turned by its own frequency over that half bit, which is half the nominal bit at the
// correlator's.
double boundary_phase(const engine& d, double t0, double p, int k, bool mark) {
    const double centre = t0 + (k + 0.5) * p;
    const window_sums s = sums_at(d, centre + d.half_window);
    const double omega =
        two_pi * (mark ? d.signal.upper_tone : d.signal.lower_tone) / d.front.frame_rate;
    const std::complex<double> sum =
        mark ? std::complex<double>(s.r1, s.i1) : std::complex<double>(s.r0, s.i0);
    const double turn = mark ? d.front.turn1 : d.front.turn0;
    const double angle =
        std::remainder(omega * centre, two_pi) - omega * d.nominal_period / 2.0 - turn;
    const std::complex<double> z = sum * std::polar(1.0, angle);
    return std::abs(z) > 0.0 ? z.real() / std::abs(z) : 0.0;
}

// Window energies below d.silence are silence: a tone at a thousandth of full scale, or within a
// carrier, its weaker tone's energy less the carrier's dynamic range (hiss between two blocks
// is silence, a dropout 30 dB down still sound).
// Set again wherever the levels or the carrier change.
void refresh_floor(engine& d) {
    d.silence = d.floor_energy;
    if (!d.detector.on || !(d.levels.lower_heard || d.levels.upper_heard)) return;
    const double weaker = std::min(d.levels.lower, d.levels.upper);
    // A correlation magnitude |S| = A w / 2 is a window energy of A^2 w / 2 = 2 |S|^2 / w.
    d.silence = std::max(d.floor_energy, tuning::carrier_range * 2.0 * weaker * weaker / d.length);
}

// Where sound that has filled the window by frame n began (as the window-end time of its
// first frame), if it began on the lower tone or with the recording: the last frame whose window
// held less than half of the current energy is half a window after the beginning.
std::optional<double> onset(const engine& d, double n) {
    const double full = sums_at(d, n).energy;
    const double reach = std::min(n, 2.0 * d.length);
    double half = n - reach;
    for (double k = 0.0; k <= reach; k += 1.0) {
        if (sums_at(d, n - k).energy < 0.5 * (full + d.onset_floor)) {
            half = n - k;
            break;
        }
    }
    const double begun = std::max(0.0, half - 0.5 * d.length);
    // At the recording's first frame it may begin anywhere in a byte.
    if (begun < d.length) return 0.0;
    const judgement j = judge(d, sums_at(d, begun + d.length - 1.0));
    if (!(j.margin < -tuning::start_margin)) return std::nullopt;
    return begun;
}

// --- The state machine's transitions.

// Between bytes: edges and slots are watched. Slots still pending are kept (bytes from
// before now are still being read after a dropout) unless told otherwise.
void to_search(engine& d, bool keep_slots) {
    d.state = phase::search;
    d.idle_count = 0;
    d.idle_tone.reset();
    if (!keep_slots) d.next_slot = 0;
}

// The byte at start_time is read once its stop bit is in.
void to_read(engine& d) {
    d.state = phase::wait_byte;
    d.due = d.start_time + tuning::byte_read_at * d.period + d.half_window;
}

// A byte starts at t0, on the running clock bits_since bits after the last start or not.
void to_byte(engine& d, double t0, bool on_clock, double bits_since) {
    d.start_time = t0;
    d.on_clock = on_clock;
    d.bits_since = bits_since;
    to_read(d);
}

// An edge at t0: its start bit is checked at the bit's centre.
void to_check_start(engine& d, double t0) {
    d.state = phase::check_start;
    d.start_time = t0;
    d.space_before = false;
    d.due = t0 + 0.5 * d.period + d.half_window;
    d.idle_count = 0;
    d.idle_tone.reset();
    d.next_slot = 0;
}

// Back after silence at frame n: whatever byte was under way is lost.
void to_resync(engine& d, double n) {
    d.state = phase::resync;
    d.returned = n;
    d.idle_count = 0;
    d.anchor.reset();
    d.solid_mark = false;
    d.crossing.reset();
}

// A byte starting at t0 was read: where the next one starts is chosen once the bits after
// it show the frame (see choose_next).
void to_frame(engine& d, double t0, bool last_space) {
    d.state = phase::frame;
    d.due = t0 + (9.0 + tuning::frame_lookahead + 0.5) * d.period + d.half_window;
    d.last_bit_space = last_space;
    d.idle_seen = false;
    d.next_slot = 0;
}

// What a carrier taught (its tones' levels, its speed) forgotten: the next one learns its own.
void forget_carrier(engine& d) {
    reset(d.levels);
    d.period = d.nominal_period;
    refresh_floor(d);
}

void establish(engine& d, const recover_sink& sink);

void begin_carrier(engine& d, double t, const recover_sink& sink) {
    d.established = false;
    const bool trusted = d.trusted_until && t <= *d.trusted_until;
    d.seen_stop = false;
    d.clean_marks = d.clean_spaces = 0;
    const auto w = static_cast<std::uint64_t>(d.corr.window);
    const std::uint64_t start = d.detector.run_start > w ? d.detector.run_start - w : 0;
    d.carrier_start = static_cast<double>(d.detector.run_start) - d.length;
    // A carrier's window reaches back a bit before its first good bit: never into the segment
    // reported before it.
    begin_segment(d.stats,
                  std::max(start * static_cast<std::uint64_t>(d.front.stride), d.reported_end));
    d.gaps = gap_statistics{};
    // A byte held from the recording's first frame belongs to this carrier only if it began
    // within two bytes of it.
    const double held_from = (d.carrier_start - 20.0 * d.nominal_period) * d.front.stride;
    while (d.hold.count > 0 && static_cast<double>(held_at(d.hold, 0).start_frame) < held_from)
        drop_oldest(d.hold, 1);
    if (trusted) establish(d, sink);
}

// The carrier is gone: its segment is reported and its bytes' clock forgotten.
void end_carrier(engine& d, const recover_sink& sink) {
    // A carrier that lasts to the end of the recording ends there, not in the silence that
    // flushes the band filter.
    const carrier_segment s = finish_segment(
        d.stats, std::min(d.detector.last_good * static_cast<std::uint64_t>(d.front.stride),
                          d.input_frames));
    d.reported_end = s.end_frame;
    gate_end(d.gate, s, d.established, sink);
    d.detector.on = false;
    if (d.established) {
        d.trusted_until =
            static_cast<double>(d.detector.last_good) + tuning::established_idle * d.nominal_period;
    }
    d.established = false;
    reset(d.detector);
    forget_carrier(d);
    clear(d.hold);
    d.held_count = 0;
    d.last_start.reset();
    d.next_slot = 0;
}

// Feeds one bit's quality to the carrier detector at window end time t.
void note_quality(engine& d, const judgement& j, double fit, double t, const recover_sink& sink) {
    // Silence tells nothing about the carrier: a dropout keeps it, and the signal that
    // returns is read at once (a long silence ends the segment, see step).
    if (j.silent) return;
    const auto frame = static_cast<std::uint64_t>(std::max(0.0, t));
    // Outside a carrier, what the levels and the clock learnt lasts only as long as the run
    // of good bits that taught them: hiss must leave nothing for the carrier that follows.
    if (!d.detector.on && j.quality <= tuning::good_bit) forget_carrier(d);
    // A noisy carrier is held through a few poor bits, unless it may be the echo of a louder
    // one (whose echoes overlapping read as noise).
    const bool hold = d.established && is_noisy(d.stats) && !d.gate.suspect;
    switch (feed(d.detector, j.quality, fit, frame, hold)) {
        case carrier_change::began:
            begin_carrier(d, t, sink);
            refresh_floor(d);
            break;
        case carrier_change::ended:
            end_carrier(d, sink);
            break;
        case carrier_change::none:
            break;
    }
}

// One byte of the carrier, its tones at `level` (peak, sample units), to the echo gate.
void emit_byte(engine& d, const recovered_byte& b, double level, const recover_sink& sink) {
    ++d.stats.segment.bytes;
    if (b.framing_error) ++d.stats.segment.framing_errors;
    gate_byte(d.gate, b, level, sink);
}

// The carrier's tone amplitude (peak, sample units): its louder tone heard.
double carrier_level(const engine& d) {
    double level = 0.0;
    if (d.levels.lower_heard) level = 2.0 * *d.levels.lower_heard / d.length / d.front.gain0;
    if (d.levels.upper_heard) {
        level = std::max(level, 2.0 * *d.levels.upper_heard / d.length / d.front.gain1);
    }
    return level;
}

// The carrier has shown FSK structure: the bytes held for it are output.
void establish(engine& d, const recover_sink& sink) {
    gate_carrier(d.gate, d.stats.segment.start_frame, carrier_level(d), sink);
    d.established = true;
    for (std::size_t k = 0; k < d.hold.count; ++k)
        emit_byte(d, held_at(d.hold, k), carrier_level(d), sink);
    clear(d.hold);
}

// Both tones heard clean, each where the clock's speed puts it, on the bit clock: FSK.
bool shows_structure(const engine& d) {
    return d.clean_marks >= tuning::established_bits && d.clean_spaces >= tuning::established_bits;
}

// After a dropout, the byte frame chosen from the bits up to `horizon` past the anchor.
void choose_frame(engine& d, int horizon) {
    const double p = d.period;
    const double hw = d.half_window;
    const double anchor = *d.anchor;
    // The first bit whose window lies all after the signal's return; at the recording's
    // start, the first whose centre does (a start bit cut there is still one).
    const double heard_from = d.returned > 0.0 ? d.returned + hw : 0.0;
    const int first = std::max(-tuning::resync_before,
                               static_cast<int>(std::ceil((heard_from - anchor) / p - 0.5)));
    std::array<bool, tuning::resync_bits + tuning::resync_before> mark{};
    const int count = std::max(0, horizon - first);
    for (int k = 0; k < count; ++k)
        mark[k] = judge(d, sums_at(d, anchor + (first + k + 0.5) * p + hw)).margin > 0.0;
    // A recording that begins on a space most likely begins on a start bit: another frame must
    // explain the bits ahead clearly better.
    const std::optional<int> best =
        choose_start(d.gaps, std::span<const bool>(mark.data(), count), tuning::resync_reach,
                     d.returned > 0.0 ? 0.0 : tuning::first_space_favoured);
    d.anchor.reset();
    if (!best) {
        to_search(d, false);
        return;
    }
    d.fallback.reset();
    d.space_before = false;
    to_byte(d, anchor + (first + *best) * p, false, 0.0);
}

// Where the byte at t0 on period p is clearest, as a shift of up to half a bit: with one tone
// much weaker than the other, the strong tone's share of a window that straddles a boundary
// outweighs the weak one's and pulls the transitions' timing aside; full windows are not
// fooled.
double clearest_shift(const engine& d, double t0, double p) {
    const double hw = d.half_window;
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
    return shift;
}

// The byte whose start edge is d.start_time, read once all its windows are in: bits at the
// centres of the tracked clock, the clock then corrected from the byte's own transitions and
// the bits read again.
void read_byte(engine& d, const recover_sink& sink, bool at_end) {
    // A start more than half a bit before the first frame frames nothing (a start bit cut
    // by the recording's beginning still frames its byte).
    if (!(d.start_time >= -0.5 * d.period)) {
        d.state = phase::search;
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
        // In noise its timing is noisier still: it is followed more slowly.
        const bool slow = is_noisy(d.stats);
        t0 += (slow ? tuning::noisy_phase_gain : tuning::on_clock_phase_gain) * error;
        d.period += (slow ? tuning::noisy_period_gain : tuning::on_clock_period_gain) * error /
                    std::max(1.0, d.bits_since);
        decide();
    } else {
        // A start found by its edge alone: the byte's transitions set its timing.
        const double pull = tuning::edge_start_pull * p;
        for (int pass = 0; pass < 2 && count > 0.0; ++pass) {
            t0 = std::clamp(t0 + error, d.start_time - pull, d.start_time + pull);
            decide();
            error = clock_error(count);
        }
    }
    if (imbalance(d.levels) > tuning::imbalance_search) {
        t0 += clearest_shift(d, t0, p);
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
        const bool mark = bits[k].margin > 0.0;
        const double fit = bit_frequency_fit(d, t, p, mark);
        note_quality(d, bits[k], fit, t, sink);
        learn_bit(d, bits[k]);
        if (d.detector.on) {
            if (bits[k].quality > tuning::good_bit && fit > tuning::fit_on) {
                ++(mark ? d.clean_marks : d.clean_spaces);
            }
            const double mag = mark ? bits[k].mag1 : bits[k].mag0;
            const double other = mark ? bits[k].mag0 : bits[k].mag1;
            add_bit(d.stats, mag * 2.0 / w / (mark ? d.front.gain1 : d.front.gain0), mag, other,
                    mark);
            // The first clear bits of a segment tell its polarity well enough.
            if (d.stats.polarity_count < tuning::polarity_bits &&
                bits[k].quality > tuning::level_quality &&
                std::abs(bits[k].margin) > tuning::level_margin) {
                d.stats.polarity_sum += boundary_phase(d, t0, p, k, mark);
                d.stats.polarity_count += 1.0;
            }
        }
    }

    d.period = std::clamp(d.period, tuning::slowest * nominal, tuning::fastest * nominal);

    recovered_byte out;
    out.value = static_cast<std::uint8_t>(value);
    out.start_frame = static_cast<std::uint64_t>(
        std::max(0.0, std::round((t0 - d.front.delay) * d.front.stride)));
    out.confidence = std::clamp(confidence, 0.0, 1.0);

    to_search(d, true);
    d.earliest_crossing = t0 + tuning::earliest_next_edge * p + hw;
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
    const bool steady_space = all_space && d.space_run >= tuning::steady_space_bits && d.seen_stop;
    // In a carrier whose bits noise makes doubtful, the next start is chosen from the bytes
    // after it (see choose_next); a clear one shows it at once, and one whose tones are
    // unbalanced is read where its bits are clearest (clearest_shift), byte by byte.
    const bool lookahead =
        d.established && is_noisy(d.stats) && imbalance(d.levels) <= tuning::imbalance_search;
    if (steady_space) {
        d.next_slot = 0;
    } else if (stop_known) {
        if (bits[9].margin > 0.0) {
            if (d.detector.on) d.seen_stop = true;
        } else {
            out.framing_error = d.seen_stop;
            if (!at_end && !lookahead) {
                // No idle bit: the next start bit follows at once.
                to_byte(d, t0 + 9.0 * p, true, 9.0);
                d.space_before = bits[8].margin <= 0.0;
            }
        }
        if (!at_end && lookahead) to_frame(d, t0, bits[8].margin <= 0.0);
    }
    // A byte read mostly from something else than clean tones, or whose bits are mostly
    // undecided (a dropout, speech that happened to hold the carrier detector), is not output.
    double clear = 0.0, decided = 0.0;
    for (int k = 0; k < 10; ++k) {
        clear += bits[k].quality / 10.0;
        decided += std::abs(bits[k].margin) / 10.0;
    }
    // Nothing precedes the recording's first frame: a start bit it cut frames its byte, which
    // is held (as a carrier's first bytes are) though the detector may come on only after it.
    const bool from_first_frame = t0 < 0.5 * p && !d.established;
    if ((!d.detector.on && !from_first_frame) || steady_space || clear < tuning::byte_quality ||
        decided < tuning::byte_margin) {
        d.held_count = 0;
        return;
    }
    d.idle_run = 0;
    if (!d.established) {
        // Held until the carrier shows its structure (what overflows the hold is lost); a
        // byte that began before the carrier did is read partly from whatever preceded it.
        // Nor is one whose start bit reads as the upper tone.
        if ((t0 + 0.5 * p < d.carrier_start && !from_first_frame) || bits[0].margin > 0.0) return;
        recovered_byte lost;
        push(d.hold, out, lost);
        if (shows_structure(d)) establish(d, sink);
        return;
    }
    d.stats.speed_sum += nominal / p - 1.0;
    d.stats.speed_count += 1.0;
    // Its tones' amplitude: each bit's winning tone, its gain through the front end undone.
    double byte_level = 0.0;
    for (int k = 0; k < 10; ++k) {
        byte_level +=
            bits[k].margin > 0.0 ? bits[k].mag1 / d.front.gain1 : bits[k].mag0 / d.front.gain0;
    }
    byte_level *= 2.0 / w / 10.0;
    learn_gap(d.gaps, after_clock ? static_cast<int>(std::lround(bits_before)) - 9 : 3);
    // Frames of spaces only (zero bytes with no idle bit) are held until a frame shows data
    // goes on: a tone that merely turned low reads as such frames too. They follow each other
    // nine bits apart.
    if (all_space) {
        if (d.held_count == 0) {
            d.held = out;
            d.held_step = 9.0 * p * d.front.stride;
        }
        ++d.held_count;
        return;
    }
    for (std::uint64_t k = 0; k < d.held_count; ++k) {
        recovered_byte b = d.held;
        b.start_frame +=
            static_cast<std::uint64_t>(std::round(static_cast<double>(k) * d.held_step));
        emit_byte(d, b, byte_level, sink);
    }
    d.held_count = 0;
    emit_byte(d, out, byte_level, sink);
}

// The longest idle gap the clock bridges between bytes.
constexpr int most_gap() {
    return static_cast<int>(tuning::most_bits_between_starts) - 9;
}

// The bits after the byte at last_start, from its bit 9 on, up to `most` of them and frame n,
// into d.framed_bits; how many. Silence ends them. Bits read before where they lie again (to
// a twentieth of a bit) are not read anew.
int read_frame_bits(engine& d, double n, int most) {
    const double t0 = *d.last_start, p = d.period, hw = d.half_window;
    const auto reuse_from = static_cast<int>(std::lround((t0 - d.framed_from) / p));
    std::array<double, tuning::frame_lookahead + 1> bits;
    int count = 0;
    for (; count <= most; ++count) {
        const double t = t0 + (9 + count + 0.5) * p + hw;
        if (t > n) break;
        const int k = count + reuse_from;
        if (k >= 0 && k < d.framed_count &&
            std::abs(d.framed_from + (9 + k + 0.5) * d.framed_period + hw - t) < 0.05 * p) {
            bits[count] = d.framed_bits[k];
            continue;
        }
        const judgement j = judge(d, sums_at(d, t));
        if (j.silent) break;
        bits[count] = j.margin;
        // Nor does a dropout (two bits in a row telling neither tone): the clock may come
        // out of it a fraction of a bit off, which the next start edge shows.
        if (count > 0 && std::abs(bits[count]) < tuning::start_check_margin &&
            std::abs(bits[count - 1]) < tuning::start_check_margin) {
            --count;
            break;
        }
    }
    d.framed_from = t0;
    d.framed_period = p;
    d.framed_count = count;
    std::copy_n(bits.begin(), count, d.framed_bits.begin());
    return count;
}

// The next start after the byte at last_start, chosen from the bits up to frame n that follow
// it on its clock: a bit flipped by noise after a byte does not slip the frame when the bytes
// after it tell where they start (resync.h). An idle gap longer than the clock can bridge
// is left to the next start edge.
void choose_next(engine& d, double n) {
    if (!d.last_start) {
        to_search(d, false);
        return;
    }
    const double t0 = *d.last_start, p = d.period;
    const int count = read_frame_bits(d, n, tuning::frame_lookahead);
    const auto& bits = d.framed_bits;
    const std::optional<int> gap = choose_next_start(
        d.gaps, std::span<const double>(bits.data(), count), most_gap(), tuning::frame_scale);
    if (!gap || *gap > most_gap()) {
        to_search(d, false);
        return;
    }
    d.fallback.reset();
    to_byte(d, t0 + (9 + *gap) * p, true, 9.0 + *gap);
    d.space_before = *gap == 0 && d.last_bit_space;
}

// The bytes whose next start is still to be chosen, read from the bits up to frame `upto`
// before the signal goes (silence, a dropout's resync): the last bytes of a block are
// not lost to what follows it.
void settle_frame(engine& d, double upto, const recover_sink& sink) {
    while (d.state == phase::frame || (d.state == phase::wait_byte && d.due <= upto)) {
        if (d.state == phase::frame) {
            choose_next(d, upto);
        } else {
            read_byte(d, sink, false);
        }
    }
}

// The clock's next slot for a start bit, once frame n is past it: true if a start is there.
bool check_slot(engine& d, double n, bool behind) {
    if (d.next_slot == 0 || !d.last_start) return false;
    const double slot = *d.last_start + (d.next_slot + 0.5) * d.period + d.half_window;
    if (n < slot) return false;
    const judgement j = judge(d, sums_at(d, slot));
    if (j.margin < 0.0 && j.quality > 0.0) {
        to_byte(d, *d.last_start + d.next_slot * d.period, true, d.next_slot);
        d.space_before = false;
        d.next_slot = 0;
        return true;
    }
    d.next_slot = d.next_slot < tuning::last_slot || behind ? d.next_slot + 1 : 0;
    return false;
}

// A start edge just seen (its window ending at crossing): the byte's start, taken from the
// clock when it falls a whole number of bits after the last start (the edge alone is the
// noisiest timing the byte has). An edge seen late (the strong tone of an unbalanced pair
// leaks into the weak one's correlator while the window straddles the edge) is still taken
// from the clock; the start check then looks at that slot.
void start_at_edge(engine& d, double crossing) {
    double t0 = crossing - d.half_window;
    bool on_clock = false;
    double bits_since = d.bits_since;
    d.fallback.reset();
    if (d.last_start) {
        const double since = t0 - *d.last_start;
        const double nearest = std::round(since / d.period);
        const double below = std::floor(since / d.period);
        const auto plausible = [](double bits) {
            return bits >= tuning::fewest_bits_between_starts &&
                   bits <= tuning::most_bits_between_starts;
        };
        // How late the edge may be seen: with the upper tone much the weaker, most of a bit.
        const double lag = d.levels.upper < tuning::weak_upper * d.levels.lower
                               ? tuning::edge_late_weak_upper
                               : tuning::edge_on_clock;
        const double late = since - below * d.period;
        if (plausible(below) && late < lag * d.period) {
            if (late >= tuning::edge_on_clock * d.period) d.fallback = t0;
            t0 = *d.last_start + below * d.period;
            on_clock = true;
            bits_since = below;
        } else if (plausible(nearest) &&
                   std::abs(since - nearest * d.period) < tuning::edge_on_clock * d.period) {
            t0 = *d.last_start + nearest * d.period;
            on_clock = true;
            bits_since = nearest;
        } else if (plausible(below) && late < tuning::edge_late_weak_upper * d.period) {
            d.fallback = t0;
            t0 = *d.last_start + below * d.period;
            on_clock = true;
            bits_since = below;
        }
    }
    d.on_clock = on_clock;
    d.bits_since = bits_since;
    to_check_start(d, t0);
}

// The idle tone checked once a window between bytes: a clean upper tone keeps the carrier,
// teaches its level and, turning in the correlator by its offset from nominal, the clock's
// speed (tape speed moves tones and bit rate alike).
void check_idle(engine& d, const window_sums& s, double n, const recover_sink& sink) {
    const judgement j = judge(d, s);
    const bool steady = j.margin > tuning::start_margin && j.quality > tuning::carrier_on;
    double fit = 1.0;
    if (steady) {
        learn_bit(d, j);
        const std::complex<double> now(s.r1, s.i1);
        if (d.idle_tone) {
            const double turn = std::arg(now * std::conj(*d.idle_tone));
            const double offset =
                turn * d.front.frame_rate / (two_pi * d.corr.window) / d.signal.upper_tone;
            fit = frequency_fit(offset, clock_offset(d));
            const double target = d.nominal_period / (1.0 + offset);
            d.period =
                std::clamp(d.period + (target - d.period) * tuning::idle_period_weight,
                           tuning::slowest * d.nominal_period, tuning::fastest * d.nominal_period);
        }
        d.idle_tone = now;
    } else {
        d.idle_tone.reset();
    }
    d.idle_run = steady && fit > tuning::fit_on ? d.idle_run + 1 : 0;
    note_quality(d, j, fit, n, sink);
    if (d.detector.on && !d.established && d.idle_run >= tuning::established_idle) {
        establish(d, sink);
    }
}

// Outside a carrier, sound rising well out of the background (silence or hiss) may be a block
// beginning. If it begins on the lower tone it begins on a start bit (a block without a
// leader); a recording may begin anywhere inside a byte, and its frame is sought as after a
// dropout. Judged once the window is all of it.
void watch_onset(engine& d, const window_sums& s, bool heard, double n) {
    const bool loud = heard && s.energy > tuning::onset_rise * d.background;
    d.loud_frames = loud ? d.loud_frames + 1 : 0;
    if (!loud) {
        d.background += (s.energy - d.background) * d.background_weight;
        return;
    }
    if (d.loud_frames == 1 && d.state != phase::resync) {
        d.onset_due = true;
        d.onset_floor = d.background;
    }
    if (!d.onset_due || static_cast<double>(d.loud_frames) < d.length) return;
    d.onset_due = false;
    const std::optional<double> at = onset(d, n);
    if (!at) return;
    // A byte begun from an edge in the background before it is no byte of it.
    const bool before = (d.state == phase::check_start || d.state == phase::wait_byte) &&
                        d.start_time < *at - tuning::edge_on_clock * d.period;
    if (d.state != phase::search && d.state != phase::frame && !before) return;
    // At the recording's first frame it may begin anywhere in a byte: its frame is chosen as
    // after a dropout, from the bits ahead (a first space taken for a start bit unless they
    // tell otherwise).
    if (*at >= d.length) {
        d.space_before = false;
        d.fallback.reset();
        to_byte(d, *at, false, 0.0);
    } else {
        to_resync(d, *at);
    }
}

// The per-frame work once the sums of frame n are in.
// Kept out of line: inlined into run_frames it crowded the filter and correlator loop there.
[[gnu::noinline]] void step(engine& d, const window_sums& s, const recover_sink& sink) {
    const double n = static_cast<double>(d.frame) - 1.0;
    // Energies over each tone's amplitude squared, both times amp0^2 amp1^2: no division.
    const double w0 = d.levels.lower * d.levels.lower, w1 = d.levels.upper * d.levels.upper;
    const double e0 = (s.r0 * s.r0 + s.i0 * s.i0) * w1;
    const double e1 = (s.r1 * s.r1 + s.i1 * s.i1) * w0;
    const bool heard = s.energy > d.silence;
    if (d.gate.pending)
        gate_time(d.gate, d.frame * static_cast<std::uint64_t>(d.front.stride), sink);
    // Silence ends only where sound lasts half a window: hiss near the floor now and then
    // above it is still silence.
    d.heard_frames = heard ? d.heard_frames + 1 : 0;
    if (!heard) {
        ++d.silent_frames;
    } else if (d.silent_frames > 0 && static_cast<double>(d.heard_frames) >= 0.5 * d.length) {
        // Back after a window's length of silence or more: the frame is sought afresh.
        if (static_cast<double>(d.silent_frames) >= d.nominal_period) {
            // The bytes before the silence first.
            settle_frame(
                d, n - static_cast<double>(d.heard_frames + d.silent_frames) + d.half_window, sink);
            if (d.detector.on) to_resync(d, n - static_cast<double>(d.heard_frames) + 1.0);
        }
        d.silent_frames = 0;
    }
    if (!d.detector.on) watch_onset(d, s, heard, n);
    if (d.detector.on && static_cast<double>(d.silent_frames) > d.longest_dropout) {
        settle_frame(d, n - static_cast<double>(d.silent_frames) + d.half_window, sink);
        if (d.detector.on) end_carrier(d, sink);
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
        } else if (d.crossing && at - *d.crossing < 0.5 * d.corr.window) {
            // Noise or an unbalanced pair can make the edge cross more than once: the
            // edge lies between the crossings.
            d.crossing = 0.5 * (*d.crossing + at);
        } else {
            d.crossing.reset();
        }
        d.solid_mark = false;
    }
    d.was_mark = mark;

    switch (d.state) {
        case phase::search: {
            // Still reading bytes from before now (after a dropout): the next start is sought
            // at the clock's slots, bit by bit, never at an edge heard later.
            const bool behind =
                d.next_slot > 0 && d.last_start &&
                n > *d.last_start + (d.next_slot + 0.5) * d.period + d.half_window + d.length;
            if (!behind && heard && e0 > start_energy_ratio * e1 && d.crossing &&
                n - *d.crossing <= 0.5 * d.corr.window &&
                (!d.earliest_crossing || *d.crossing >= *d.earliest_crossing)) {
                const double crossing = *d.crossing;
                d.crossing.reset();
                start_at_edge(d, crossing);
                break;
            }
            // A start bit missed at its edge (noise can hide the edge, never a whole bit) is
            // still found where the clock says the next bytes may begin.
            if (check_slot(d, n, behind)) break;
            // Between bytes the carrier is checked once per window; the first window after a
            // byte still holds its end.
            if (++d.idle_count >= 2 * static_cast<std::uint64_t>(d.corr.window)) {
                d.idle_count -= static_cast<std::uint64_t>(d.corr.window);
                check_idle(d, s, n, sink);
            }
            break;
        }
        case phase::check_start:
            if (n >= d.due) {
                const judgement j = judge(d, sums_at(d, d.due));
                if (j.margin < -tuning::start_check_margin && j.quality > 0.0) {
                    if (!d.levels.lower_heard) learn_bit(d, j);
                    to_read(d);
                } else if (d.fallback) {
                    // No start bit in the slot: the edge itself, then.
                    const double t0 = *d.fallback;
                    d.fallback.reset();
                    d.on_clock = false;
                    d.start_time = t0;
                    d.due = t0 + 0.5 * d.period + d.half_window;
                } else {
                    to_search(d, true);
                }
            }
            break;
        case phase::wait_byte:
            if (n >= d.due) read_byte(d, sink, false);
            break;
        case phase::frame:
            if (n >= d.due) {
                choose_next(d, n);
            } else if (d.last_start && !d.idle_seen &&
                       n >= *d.last_start + (9 + most_gap() + 0.5) * d.period + d.half_window) {
                // Clear idle bits as far as the clock bridges: a trailer or a pause, whose
                // end is its next start edge.
                d.idle_seen = true;
                const int count = read_frame_bits(d, n, most_gap());
                if (count == most_gap() + 1 &&
                    std::all_of(d.framed_bits.begin(), d.framed_bits.begin() + count,
                                [](double b) { return b > tuning::start_margin; })) {
                    to_search(d, false);
                }
            }
            break;
        case phase::resync:
            // The first start edge whose window is all after the return sets the bit grid.
            if (!d.anchor && d.crossing && *d.crossing >= d.returned + d.length - 1.0) {
                d.anchor = *d.crossing - d.half_window;
            }
            if (d.anchor &&
                n >= *d.anchor + (tuning::resync_bits + 0.5) * d.period + d.half_window) {
                choose_frame(d, tuning::resync_bits);
            } else if (!d.anchor && n > d.returned + tuning::resync_reach * d.period) {
                to_search(d, false);
            } else if (!d.anchor && ++d.idle_count >= static_cast<std::uint64_t>(d.corr.window)) {
                // Until a clean edge, what came back is judged a window at a time: hiss that
                // followed the carrier ends it.
                d.idle_count = 0;
                note_quality(d, judge(d, s), d.detector.tone_fit, n, sink);
            }
            break;
    }
}

// The decoder's frames, kept ones, through the correlators and the decisions.
void run_frames(engine& d, std::span<const double> frames, const recover_sink& sink) {
    const std::size_t held = d.history.size();
    // The filters and correlators run over a piece first, in a tight loop of their own; the
    // slack at the end of the history keeps what the decisions still read.
    while (!frames.empty()) {
        const std::size_t count = std::min(frames.size(), tuning::piece_frames);
        std::size_t slot = static_cast<std::size_t>(d.frame % held);
        biquad hp = d.front.high_pass, lp = d.front.low_pass;
        correlator_registers r = load_registers(d.corr);
        window_sums* history = d.history.data();
        const double fraction = d.corr.fraction;
        for (std::size_t i = 0; i < count; ++i) {
            correlate(d.corr, r, filter(lp, filter(hp, frames[i])));
            history[slot] = with_fraction(r.sums, d.corr.products[r.slot], fraction);
            if (++slot == held) slot = 0;
        }
        store_registers(d.corr, r);
        d.front.high_pass = hp;
        d.front.low_pass = lp;
        slot = static_cast<std::size_t>(d.frame % held);
        for (std::size_t i = 0; i < count; ++i) {
            ++d.frame;
            step(d, d.history[slot], sink);
            if (++slot == held) slot = 0;
        }
        frames = frames.subspan(count);
    }
}

}  // namespace

recover_signal nominal_recover_signal(const fsk_signal& s) {
    // A lower tone too high to double is refused all the same as too high for the sample
    // rate.
    const std::int64_t upper = std::clamp<std::int64_t>(2 * std::int64_t{s.lower_tone},
                                                        std::numeric_limits<std::int32_t>::min(),
                                                        std::numeric_limits<std::int32_t>::max());
    return {static_cast<double>(s.baud_rate), s.lower_tone, static_cast<std::int32_t>(upper)};
}

recover_decoder make_recover_decoder(const fsk_signal& signal, std::int32_t sample_rate,
                                     double full_scale) {
    return make_recover_decoder(nominal_recover_signal(signal), sample_rate, full_scale);
}

recover_decoder make_recover_decoder(const recover_signal& signal, std::int32_t sample_rate,
                                     double full_scale) {
    if (!(signal.baud_rate > 0.0) || !std::isfinite(signal.baud_rate)) {
        throw fskdec_error("illegal baud rate");
    }
    if (signal.lower_tone <= 0 || signal.upper_tone <= signal.lower_tone ||
        std::int64_t{signal.upper_tone} > 3 * std::int64_t{signal.lower_tone}) {
        throw fskdec_error("illegal carrier frequency");
    }
    // A rate of 0 or less (a header that says so) is too low as any other is, as the default
    // decoder reports it.
    if (sample_rate <= 0) throw fskdec_error("sample rate too low for the carrier frequency");
    if (!(full_scale > 0.0) || !std::isfinite(full_scale)) {
        throw fskdec_error("illegal full scale");
    }
    if (std::int64_t{signal.upper_tone} * 2 >= sample_rate ||
        signal.baud_rate * 4.0 > static_cast<double>(sample_rate)) {
        throw fskdec_error("sample rate too low for the carrier frequency");
    }
    auto e = std::make_unique<recover_engine>();
    engine& d = *e;
    d.signal = signal;
    d.sample_rate = sample_rate;
    d.full_scale = full_scale;
    d.front = make_front_end(signal.lower_tone, signal.upper_tone, sample_rate);
    d.nominal_period = d.front.frame_rate / signal.baud_rate;
    if (d.nominal_period > tuning::longest_bit) throw fskdec_error("illegal carrier frequency");
    d.period = d.nominal_period;
    // The window is one bit long: a whole number of cycles of either tone, which leave
    // nothing in the other tone's correlator.
    const auto window = static_cast<std::int32_t>(std::floor(d.nominal_period));
    d.length = d.nominal_period;
    d.half_window = (d.length - 1.0) / 2.0;
    d.corr = make_tone_correlator(window, sample_rate, signal.lower_tone, d.front.stride,
                                  d.nominal_period - window, signal.upper_tone);

    d.outside_weight = std::min(
        1.0, tuning::quality_band_bits * signal.baud_rate / (d.front.band_high - d.front.band_low));
    d.background_weight = 1.0 / (tuning::background_bits * d.nominal_period);
    d.longest_dropout = std::min(tuning::longest_dropout * d.nominal_period,
                                 tuning::longest_dropout_s * d.front.frame_rate);
    const double quiet = tuning::silence_of_full_scale * full_scale;
    d.floor_energy = quiet * quiet * d.length / 2.0;
    d.silence = d.floor_energy;

    // A byte is read once its stop bit is in, at the slowest clock, plus the window; after a
    // dropout the frame is chosen from bits reaching further back, and read from there on.
    const auto held =
        static_cast<std::size_t>(std::ceil((tuning::resync_bits + tuning::resync_before + 2) *
                                           tuning::fastest * d.nominal_period)) +
        static_cast<std::size_t>(window) + 8 + tuning::piece_frames;
    d.history.assign(std::bit_ceil(held), window_sums{});  // a frame's slot by a mask
    d.hold = make_byte_hold(tuning::hold_bytes);
    d.gate = make_echo_gate(sample_rate, full_scale);
    return recover_decoder(std::move(e));
}

void recover_samples(recover_decoder& decoder, std::span<const double> samples,
                     const recover_sink& sink) {
    engine& d = *decoder.engine;
    d.input_frames += samples.size();
    double kept[tuning::piece_frames];
    const double limit = tuning::sample_limit_of_full_scale * d.full_scale;
    while (!samples.empty()) {
        const std::size_t count = decimate(d.front, samples, kept);
        for (std::size_t i = 0; i < count; ++i) {
            if (!(std::fabs(kept[i]) <= limit))
                kept[i] = std::isnan(kept[i]) ? 0.0 : std::copysign(limit, kept[i]);
        }
        run_frames(d, std::span<const double>(kept, count), sink);
    }
}

void recover_finish(recover_decoder& decoder, const recover_sink& sink) {
    engine& d = *decoder.engine;
    // The band filter holds the input's last frames back by its delay: silence brings them out.
    const double zeros[8] = {};
    const auto flush =
        std::min<std::size_t>(8, static_cast<std::size_t>(std::ceil(d.front.delay)) + 2);
    run_frames(d, std::span<const double>(zeros, flush), sink);
    const double newest = static_cast<double>(d.frame) - 1.0;
    // The input ended while the frame was sought after a dropout: it is chosen from the bits
    // there are, and the bytes up to the end read.
    // So too when the next start was still to be chosen from the bits after a byte.
    bool reading = d.state == phase::frame;
    if (d.state == phase::resync && d.anchor) {
        const double bits = (newest - d.half_window - *d.anchor) / d.period - 0.5;
        choose_frame(d, std::min(tuning::resync_bits, static_cast<int>(std::floor(bits)) + 1));
        reading = true;
    }
    if (reading) {
        for (;;) {
            if (d.state == phase::frame) {
                choose_next(d, newest);
            } else if (d.state == phase::wait_byte && d.due <= newest) {
                read_byte(d, sink, false);
            } else if (d.state == phase::search && d.next_slot > 0 && d.last_start &&
                       *d.last_start + (d.next_slot + 0.5) * d.period + d.half_window <= newest) {
                check_slot(d, newest, true);
            } else {
                break;
            }
        }
    }
    if (d.state == phase::wait_byte && d.start_time + 8.5 * d.period + d.half_window <= newest) {
        read_byte(d, sink, true);
    }
    d.state = phase::search;
    if (d.detector.on) end_carrier(d, sink);
    gate_finish(d.gate, sink);
}
