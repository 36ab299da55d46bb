#include "recover/measured.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "base/error.h"
#include "recover/measure.h"

namespace {

// The decoder's delay behind the input, and the stretch of a carrier measured: a second holds
// a hundred bits at 110 baud, and the delay leaves room for the frames that found it. While a
// stretch is not measured yet (its leader still going) the decoder waits at its beginning,
// as long as the input held lasts: 5 s, a leader of 1,200 bits at 300 baud and its first
// bytes.
constexpr double delay_s = 1.5;
constexpr double measure_s = 1.0;
constexpr double held_s = 5.0;
// The input held is 5 s of it: up to this rate (15 MB).
constexpr std::int32_t highest_measured_rate = 384000;
// Below 4 kHz no tone pair the measure looks for fits (the decoder told one may still read).
constexpr std::int32_t lowest_measured_rate = 4000;
// The watch: spectra with bins of about 100 Hz (a frame of about 10 ms), one every eight
// frames, each added to the one before (measure.h: tone_stands_out); two in a row without a
// tone end a stretch.
constexpr double watch_bin_hz = 100.0;
constexpr std::size_t watch_every = 8;
constexpr int frames_to_end = 2;
// A stretch measured is retried half a second later while it lasts, if its measure failed
// (a leader longer than a second holds no bit rate).
constexpr double retry_s = 0.5;
// Where tones and bit rates are looked for: hum and its harmonics below, the band's edge above.
constexpr double lowest_tone = 250.0;
constexpr double highest_tone_of_rate = 0.45;
constexpr double lowest_baud = 100.0;
constexpr double highest_baud = 5000.0;
// Told the signal: tones and bit rate from 0.83 to 1.18 times it (speed 12 % either way, a
// tone 5 % off on top).
constexpr double given_low = 0.83;
constexpr double given_high = 1.18;
// A sure measure this far from what the decoder is tuned to retunes it (see same_signal_as):
// a tone by 3 %, the bit rate, which noise measures worse (300 baud at 10 dB Eb/N0: to 2 %),
// by 6 % (the decoder's clock follows up to 12 %), the tones' ratio by 2 %.
constexpr double same_signal = 0.03;
constexpr double same_rate = 0.06;
constexpr double same_ratio = 0.02;
// Told the signal, an upper tone more than 1.5 % off where the speed puts it (the decoder's
// clock, following the idle tone, would be that far off; 2.5 % cost 3 % of the bytes at
// 16 dB Eb/N0).
constexpr double same_upper = 0.015;
// How sure (see sure_of): told the signal, the speed by the bits and by the lower tone within
// 1 %, on a grid holding 90 % of the changes; told nothing, 70 %, the lower tone within a
// quarter cycle of a whole number a bit.
constexpr double same_speed = 0.01;
constexpr double sure_share = 0.9;
constexpr double sure_share_told_nothing = 0.7;
constexpr double off_cycles = 0.25;
// The lower tone is taken as the whole number of cycles a bit within 10 % of it (tuning_of).
constexpr double locked_lower = 0.1;
// The measures of the last few stretches, for the segments the decoder reports late.
constexpr std::size_t kept_measures = 4;

bool near(double a, double b, double share) {
    return std::fabs(a / b - 1.0) <= share;
}

}  // namespace

struct measured_state {
    explicit measured_state(recover_decoder first) : decoder(std::move(first)) {}
    std::int32_t sample_rate = 0;
    double full_scale = 1.0;
    std::optional<fsk_signal> given;  // the nominal signal, when told one
    bool measuring = true;            // else the decoder alone, tuned as told
    measure_range range;
    signal_meter meter;           // the measures
    signal_meter watch;           // the watch's spectra
    std::vector<double> ring;     // the input from `fed` to `head`
    std::vector<double> stretch;  // a stretch of it in one piece
    std::uint64_t head = 0;       // input frames taken
    std::uint64_t fed = 0;        // and passed to the decoder
    std::uint64_t delay = 0;
    std::uint64_t hop = 0;  // frames from one spectrum of the watch to the next
    std::uint64_t measure_frames = 0;

    recover_decoder decoder;
    recover_signal tuned;             // what it is tuned to
    std::uint64_t decoder_start = 0;  // input frame of its first frame
    std::uint64_t retunes = 0;        // decoders made (or tried) after the first

    // The last stretches' measures, each from where its stretch may have begun, oldest first.
    struct measure_note {
        std::uint64_t from = 0;
        measured_signal signal;
    };
    std::array<measure_note, kept_measures> notes{};
    std::size_t note_count = 0;

    // The stretch of tone being watched.
    bool in_stretch = false;
    std::uint64_t stretch_from = 0;  // where it may have begun
    int quiet_frames = 0;
    bool stretch_measured = false;
    std::uint64_t next_try = 0;
};

measured_decoder::measured_decoder(std::unique_ptr<measured_state> s) : state(std::move(s)) {}
measured_decoder::measured_decoder(measured_decoder&&) noexcept = default;
measured_decoder& measured_decoder::operator=(measured_decoder&&) noexcept = default;
measured_decoder::~measured_decoder() = default;

namespace {

using state = measured_state;

// The input frames [from, to) (still in the ring) into d.stretch, in one piece.
std::span<const double> gather(state& d, std::uint64_t from, std::uint64_t to) {
    const std::size_t size = d.ring.size();
    const auto count = static_cast<std::size_t>(to - from);
    const auto at = static_cast<std::size_t>(from % size);
    const std::size_t first = std::min(count, size - at);
    std::copy_n(d.ring.begin() + static_cast<std::ptrdiff_t>(at), first, d.stretch.begin());
    std::copy_n(d.ring.begin(), count - first,
                d.stretch.begin() + static_cast<std::ptrdiff_t>(first));
    return {d.stretch.data(), count};
}

// The decoder's sink, its frames moved to the input's and its segments given the signal
// they were read on when it was measured (their speed against the customary rate nearest,
// NaN when none is near).
recover_sink outer_sink(const state& d, const recover_sink& sink) {
    return {[&d, &sink](const recovered_byte& b) {
                recovered_byte out = b;
                out.start_frame += d.decoder_start;
                sink.byte(out);
            },
            [&d, &sink](const carrier_segment& s) {
                if (!sink.segment) return;
                carrier_segment out = s;
                out.start_frame += d.decoder_start;
                out.end_frame += d.decoder_start;
                if (d.given) {
                    // As the decoder told the signal reports it: speed against that rate.
                    out.speed = d.tuned.baud_rate * (1.0 + s.speed) / d.given->baud_rate - 1.0;
                    sink.segment(out);
                    return;
                }
                // The measure of the stretch the segment began in, if it was measured.
                const measured_signal* m = nullptr;
                for (std::size_t k = 0; k < d.note_count; ++k)
                    if (d.notes[k].from <= out.start_frame) m = &d.notes[k].signal;
                if (m != nullptr) {
                    // The decoder's speed is the clock's against the rate it is tuned to; the
                    // segment's is against the customary rate it is nearest, if any.
                    out.baud = d.tuned.baud_rate * (1.0 + s.speed);
                    out.lower_tone = m->lower_tone;
                    out.upper_tone = m->upper_tone;
                    const double customary = customary_baud_rate(out.baud);
                    out.speed = customary > 0.0 ? out.baud / customary - 1.0
                                                : std::numeric_limits<double>::quiet_NaN();
                }
                sink.segment(out);
            }};
}

// The decoder takes the input up to frame `to`.
void feed(state& d, std::uint64_t to, const recover_sink& sink) {
    const std::size_t size = d.ring.size();
    const recover_sink inner = outer_sink(d, sink);
    while (d.fed < to) {
        const auto at = static_cast<std::size_t>(d.fed % size);
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(to - d.fed, size - at));
        recover_samples(d.decoder, {d.ring.data() + at, count}, inner);
        d.fed += count;
    }
}

// The signal to tune a decoder to from a measure. The lower tone is taken as the whole
// number of cycles a bit it lies near (within 10 %): where a bit holds a cycle or two of it,
// its measure is pulled by a few percent (toward a mistuned upper tone, by hum), and a
// correlator a bit long barely tells a tone 5 % off from the whole number. The upper tone, whose
// long idle runs measure it well, is taken as measured: mistuned, it turns in its correlator and
// moves the clock.
recover_signal tuning_of(const measured_signal& m) {
    recover_signal signal;
    signal.baud_rate = m.baud_rate;
    const double cycles = std::max(1.0, std::round(m.lower_tone / m.baud_rate));
    const double locked = cycles * m.baud_rate;
    signal.lower_tone = static_cast<std::int32_t>(
        std::lround(near(m.lower_tone, locked, locked_lower) ? locked : m.lower_tone));
    signal.upper_tone = static_cast<std::int32_t>(std::lround(m.upper_tone));
    return signal;
}

// Whether a measure is sure enough to act on; one that is not is tried again while its
// stretch lasts. Told the signal, the measure must tell the speed: a bit grid holding 90 % of
// the tone changes and, with two or more cycles of the lower tone a bit, the lower tone
// finding the same speed within 1 % (in noise the spacing of the bits measures the rate far
// worse than the tones: 300 baud at 8 dB Eb/N0, to 7 % against 0.1 %). Told nothing, a bit
// grid holding 70 % of them and the lower tone within a quarter cycle of a whole number of
// cycles a bit (as every encoder writes it; a tone 5 % off it still near): wow of 2 % or 50 Hz
// hum three times the carrier can make a grid of three or seven bits hold some changes,
// never that many and so.
bool sure_of(const state& d, const measured_signal& raw) {
    if (d.given) {
        if (raw.share < sure_share) return false;
        const double cycles = static_cast<double>(d.given->lower_tone) / d.given->baud_rate;
        return cycles < 2.0 || near(raw.lower_tone / d.tuned.lower_tone,
                                    raw.baud_rate / d.tuned.baud_rate, same_speed);
    }
    const double cycles = raw.lower_tone / raw.baud_rate;
    return raw.share >= sure_share_told_nothing &&
           std::fabs(cycles - std::round(cycles)) <= off_cycles;
}

// Whether the decoder reads the signal measured as it is tuned. Told the signal, it follows
// speed errors itself (they move tones and bits alike) and a lower tone off its place costs
// it little: only an upper tone off the place the speed puts it retunes it.
bool same_signal_as(const state& d, const measured_signal& raw, const recover_signal& m) {
    const recover_signal& tuned = d.tuned;
    if (d.given) {
        const double speed = raw.baud_rate / tuned.baud_rate;
        return near(raw.upper_tone, speed * tuned.upper_tone, same_upper) &&
               near(speed, 1.0, same_signal);
    }
    const double ratio = static_cast<double>(m.upper_tone) / m.lower_tone;
    const double tuned_ratio = static_cast<double>(tuned.upper_tone) / tuned.lower_tone;
    return near(m.baud_rate, tuned.baud_rate, same_rate) &&
           near(m.lower_tone, tuned.lower_tone, same_signal) &&
           near(m.upper_tone, tuned.upper_tone, same_signal) &&
           near(ratio, tuned_ratio, same_ratio);
}

// From input frame `at` on, the decoder is tuned to `m`; the one before finishes there.
void retune(state& d, std::uint64_t at, const recover_signal& signal, const recover_sink& sink) {
    std::optional<recover_decoder> next;
    ++d.retunes;
    try {
        next = make_recover_decoder(signal, d.sample_rate, d.full_scale);
    } catch (const fskdec_error&) {
        return;  // a signal this rate cannot carry: measured wrong, or unreadable anyway
    }
    feed(d, at, sink);
    recover_finish(d.decoder, outer_sink(d, sink));
    d.decoder = std::move(*next);
    d.tuned = signal;
    d.decoder_start = at;
}

// The stretch of tone from its beginning (at most a second of it, the latest) measured.
void try_measure(state& d, const recover_sink& sink) {
    const std::uint64_t from =
        std::max(d.stretch_from, d.head - std::min(d.head, d.measure_frames));
    d.next_try = d.head + static_cast<std::uint64_t>(retry_s * d.sample_rate);
    if (d.head - from < meter_frame(d.meter)) return;
    const std::optional<measured_signal> m =
        measure_signal(d.meter, gather(d, from, d.head), d.range);
    if (!m || !sure_of(d, *m)) return;
    d.stretch_measured = true;
    const recover_signal signal = tuning_of(*m);
    if (!same_signal_as(d, *m, signal)) retune(d, std::max(d.fed, d.stretch_from), signal, sink);
    if (d.note_count == kept_measures) {
        std::move(d.notes.begin() + 1, d.notes.end(), d.notes.begin());
        --d.note_count;
    }
    // What the segments say: the signal the decoder reads such a carrier on.
    measured_signal heard = *m;
    heard.lower_tone = signal.lower_tone;
    d.notes[d.note_count++] = {d.stretch_from, heard};
}

// One spectrum of the watch, over the frame ending at the input's head.
void watch(state& d, const recover_sink& sink) {
    const std::size_t frame = meter_frame(d.watch);
    const bool tone = tone_stands_out(d.watch, gather(d, d.head - frame, d.head), d.range);
    if (tone) {
        d.quiet_frames = 0;
        if (!d.in_stretch) {
            // It began after the frame before, which heard none (or in its latter part).
            d.in_stretch = true;
            d.stretch_from = d.head - std::min(d.head, d.hop + frame);
            d.stretch_measured = false;
            d.next_try = d.stretch_from + d.measure_frames;
        }
        if (!d.stretch_measured && d.head >= d.next_try) try_measure(d, sink);
    } else if (d.in_stretch && ++d.quiet_frames >= frames_to_end) {
        if (!d.stretch_measured) try_measure(d, sink);
        d.in_stretch = false;
    }
}

}  // namespace

std::uint64_t measured_retunes(const measured_decoder& d) {
    return d.state->retunes;
}

double customary_baud_rate(double baud) {
    static constexpr double customary[] = {45.45, 50,  75,   100,  110,  134.5, 150,  200,
                                           300,   600, 1200, 1800, 2400, 3600,  4800, 9600};
    for (double rate : customary)
        if (baud > rate / 1.08 && baud < rate * 1.08) return rate;
    return 0.0;
}

measured_decoder make_measured_decoder(std::int32_t sample_rate, double full_scale,
                                       const std::optional<fsk_signal>& given) {
    const fsk_signal first_signal = given.value_or(fsk_signal{});
    recover_decoder first = make_recover_decoder(first_signal, sample_rate, full_scale);
    auto s = std::make_unique<measured_state>(std::move(first));
    state& d = *s;
    d.sample_rate = sample_rate;
    d.full_scale = full_scale;
    d.given = given;
    d.tuned = nominal_recover_signal(first_signal);
    const double nyquist_share = highest_tone_of_rate * sample_rate;
    d.range = {lowest_tone, nyquist_share, lowest_baud, highest_baud};
    if (given) {
        // Around the signal told: the speeds the decoder follows, either tone 5 % off.
        const double lower = given->lower_tone, baud = given->baud_rate;
        d.range = {std::max(lowest_tone, given_low * lower),
                   std::min(nyquist_share, given_high * 2.0 * lower), given_low * baud,
                   given_high * baud};
    }
    // Its memory grows with the rate: recordings beyond 384 kHz are read as told.
    d.measuring = sample_rate >= lowest_measured_rate && sample_rate <= highest_measured_rate;
    if (!d.measuring) return measured_decoder(std::move(s));
    d.measure_frames = static_cast<std::uint64_t>(std::ceil(measure_s * sample_rate));
    d.delay = static_cast<std::uint64_t>(std::ceil(delay_s * sample_rate));
    d.meter = make_signal_meter(sample_rate, d.measure_frames);
    d.watch = make_signal_meter(sample_rate, 0, watch_bin_hz);
    d.hop = watch_every * meter_frame(d.watch);
    d.ring.assign(static_cast<std::size_t>(std::ceil(held_s * sample_rate)) + d.hop, 0.0);
    d.stretch.assign(d.measure_frames, 0.0);
    return measured_decoder(std::move(s));
}

void measured_samples(measured_decoder& decoder, std::span<const double> samples,
                      const recover_sink& sink) {
    state& d = *decoder.state;
    if (!d.measuring) {
        recover_samples(d.decoder, samples, outer_sink(d, sink));
        return;
    }
    const std::size_t size = d.ring.size();
    while (!samples.empty()) {
        // Up to the next spectrum of the watch.
        const auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>(samples.size(), d.hop - d.head % d.hop));
        const auto at = static_cast<std::size_t>(d.head % size);
        const std::size_t first = std::min(count, size - at);
        std::copy_n(samples.begin(), first, d.ring.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(first), count - first,
                    d.ring.begin());
        d.head += count;
        samples = samples.subspan(count);
        // Watched and fed at whole hops only: where the decoder stands when a measure retunes
        // it must not depend on the pieces the input came in.
        if (d.head % d.hop != 0) continue;
        watch(d, sink);
        std::uint64_t to = d.head - std::min(d.head, d.delay);
        if (d.in_stretch && !d.stretch_measured) to = std::min(to, d.stretch_from);
        // The ring must keep room for the next hop.
        to = std::max(to, d.head - std::min(d.head, d.ring.size() - d.hop));
        if (to > d.fed) feed(d, to, sink);
    }
}

void measured_finish(measured_decoder& decoder, const recover_sink& sink) {
    state& d = *decoder.state;
    if (d.measuring) {
        if (d.in_stretch && !d.stretch_measured) try_measure(d, sink);
        feed(d, d.head, sink);
    }
    recover_finish(d.decoder, outer_sink(d, sink));
}
