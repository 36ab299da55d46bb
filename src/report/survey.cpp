#include "report/survey.h"

#include <algorithm>
#include <cmath>

#include "recover/measured.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// Two half-periods within this ratio belong to one steady tone; at or beyond `change_ratio`
// (the tones are about an octave apart) the tone has changed.
constexpr double steady_ratio = 1.2;
constexpr double clean_ratio = 1.1;  // for measuring the tone
constexpr double change_ratio = 1.6;

// A level window whose energy is at least this share steady tones holds carrier.
constexpr double carrier_share_needed = 0.6;

// Windows quieter than this (-100 dBFS RMS) hold no sound.
constexpr double silent_square = 1e-10;

// The fewest changes a stretch's fit needs, and the share of its changes that must fit.
constexpr std::size_t fewest_changes = 12;
constexpr double fitting_share = 0.6;

// Stretches whose bit lengths differ by less than this ratio are of one carrier.
constexpr double same_rate = 1.03;

void add_level(level_histogram& h, double amplitude) {
    // Samples of 1e300 can make an amplitude infinite or NaN: the top bin and the bottom one.
    const double db = 20.0 * std::log10(amplitude > 1e-7 ? amplitude : 1e-7);
    const double bin = std::clamp((db + 120.0) * 2.0, 0.0, static_cast<double>(level_bins - 1));
    ++h.counts[static_cast<std::size_t>(bin)];
    ++h.total;
}

double wrap_degrees(double d) {
    d = std::fmod(d, 360.0);
    return d < 0.0 ? d + 360.0 : d;
}

bool within(double a, double b, double ratio) {
    return a < ratio * b && b < ratio * a;
}

// Completes the tone change found at the last crossing, now that `next`, the new tone's next
// half-period, is known. Around a change the half-periods run old, old, S, new, new, where S
// straddles the boundary; the change shows at S when S is already far from the old tone, or
// at the first new one. Whichever of the two candidates for S leaves its neighbour a clean
// tone is S. A phase-continuous signal runs u degrees of the old tone from the crossing
// before S to the boundary and 180 - u of the new one from there to S's end, so S's length
// gives u, and with it the boundary and the tone's phase there.
void complete_change(channel_survey& ch, double next) {
    const pending_change& p = ch.pending;
    const bool at_new = std::fabs(p.half - next) / next <= std::fabs(p.last - p.old) / p.old;
    const double straddle = at_new ? p.last : p.half;
    const double start = at_new ? p.at - p.half - p.last : p.at - p.half;
    // Crossings alternate in direction: the one before S runs as the one that found the change
    // when it is two crossings back.
    const bool rising = at_new ? p.rising : !p.rising;
    if (!(next >= change_ratio * p.old || p.old >= change_ratio * next)) return;  // noise
    if (ch.changes.size() >= survey_max_changes) return;
    const double u = std::clamp(180.0 * (straddle - next) / (p.old - next), 0.0, 180.0);
    tone_change c;
    c.at = start + u * p.old / 180.0;
    c.phase = wrap_degrees((rising ? 270.0 : 90.0) + u);  // a rising crossing is at 270
    c.upper = next < p.old;
    ch.changes.push_back(c);
}

// One zero crossing at frame `at` of the stretch, ending a half-period of `half` frames that
// held `energy`.
void half_period(channel_survey& ch, double half, double at, bool rising, double energy) {
    const double last = ch.half_periods[0];
    const double before = ch.half_periods[1];
    ch.half_periods[1] = last;
    ch.half_periods[0] = half;
    if (last > 0.0 && within(half, last, steady_ratio)) {
        ch.window_tone_energy += energy;
        ch.window_tone_frames += half;
    }
    // The last half-period measures its tone when it matches both its neighbours closely.
    if (before > 0.0 && within(last, before, clean_ratio) && within(last, half, clean_ratio)) {
        if (ch.tone == 1) {
            ch.lower_half += last;
            ch.lower_count += 1.0;
        } else if (ch.tone == 2) {
            ch.upper_half += last;
            ch.upper_count += 1.0;
        }
    }
    if (ch.awaiting) {
        ch.awaiting = false;
        complete_change(ch, half);
        return;
    }
    // Compared with the half-period before the last, the one that may straddle the change.
    if (before <= 0.0 || within(half, before, change_ratio)) return;
    ch.awaiting = true;
    ch.pending = {at, half, last, before, rising};
    ch.tone = half > before ? 1 : 2;
}

// The bit length (frames) the stretch's changes fit, with the changes that fit it marked in
// `fits`; 0 when they fit none.
double fit_bit_length(const std::vector<tone_change>& changes, std::vector<char>& fits,
                      double shortest_bit) {
    fits.assign(changes.size(), 0);
    if (changes.size() < fewest_changes) return 0.0;
    std::vector<double> spacing;
    spacing.reserve(changes.size() - 1);
    for (std::size_t k = 1; k < changes.size(); ++k)
        spacing.push_back(changes[k].at - changes[k - 1].at);
    std::vector<double> sorted = spacing;
    std::sort(sorted.begin(), sorted.end());
    // The shortest spacings that are not stray hold a whole number of bits, most often one:
    // the bit is the longest whole part of them that all spacings are near multiples of
    // (spacings of 4 and 5 bits, as a repeated byte gives, fit no part but the bit).
    const double shortest = sorted[sorted.size() / 10];
    double bit = 0.0;
    for (int parts = 1; parts <= 8 && bit == 0.0; ++parts) {
        const double candidate = shortest / parts;
        double distance = 0.0;
        for (double d : spacing)
            distance += std::fabs(d / candidate - std::round(d / candidate));
        if (distance < 0.1 * static_cast<double>(spacing.size())) bit = candidate;
    }
    if (!(bit >= shortest_bit)) return 0.0;
    // The short spacings, whose whole numbers of bits are certain, refine it.
    double sum = 0.0;
    double count = 0.0;
    for (double d : spacing) {
        const double m = std::round(d / bit);
        if (m >= 1.0 && m <= 8.0 && std::fabs(d / bit - m) < 0.25) {
            sum += d;
            count += m;
        }
    }
    if (count < 8.0) return 0.0;
    bit = sum / count;
    // Numbers each change from the last one that fitted, then a line through them all.
    std::vector<double> index(changes.size(), 0.0);
    std::size_t last = 0;
    fits[0] = 1;
    for (std::size_t k = 1; k < changes.size(); ++k) {
        const double bits = (changes[k].at - changes[last].at) / bit;
        if (std::fabs(bits - std::round(bits)) > 0.3) continue;
        index[k] = index[last] + std::round(bits);
        fits[k] = 1;
        last = k;
    }
    double slope = bit;
    for (int pass = 0; pass < 2; ++pass) {
        double n = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
        for (std::size_t k = 0; k < changes.size(); ++k) {
            if (!fits[k]) continue;
            n += 1.0;
            sx += index[k];
            sy += changes[k].at;
            sxx += index[k] * index[k];
            sxy += index[k] * changes[k].at;
        }
        const double spread = n * sxx - sx * sx;
        if (n < static_cast<double>(fewest_changes) || spread <= 0.0) return 0.0;
        slope = (n * sxy - sx * sy) / spread;
        const double intercept = (sy - slope * sx) / n;
        if (pass == 1) break;
        for (std::size_t k = 0; k < changes.size(); ++k) {
            if (fits[k] && std::fabs(changes[k].at - intercept - slope * index[k]) > 0.2 * bit)
                fits[k] = 0;
        }
    }
    std::size_t fitted = 0;
    for (char f : fits)
        fitted += f ? 1 : 0;
    if (static_cast<double>(fitted) < fitting_share * static_cast<double>(changes.size()))
        return 0.0;
    return slope;
}

// Adds the stretch read so far to the channel's rates.
void fold_stretch(const tone_survey& survey, channel_survey& ch) {
    // A bit holds at least about a cycle of the lower tone: shorter ones are noise.
    const double lower_half = ch.lower_count > 0.0 ? ch.lower_half / ch.lower_count : 0.0;
    std::vector<char> fits;
    const double bit = fit_bit_length(ch.changes, fits, 1.5 * lower_half);
    if (bit > 0.0) {
        rate_record* record = nullptr;
        for (rate_record& r : ch.rates) {
            const double mean = r.bit_sum / r.weight;
            if (bit < same_rate * mean && mean < same_rate * bit) record = &r;
        }
        if (record == nullptr && ch.rates.size() < survey_max_rates) {
            ch.rates.emplace_back();
            record = &ch.rates.back();
            record->first_frame = survey.stretch_start;
        }
        if (record != nullptr) {
            double fitted = 0.0;
            for (std::size_t k = 0; k < ch.changes.size(); ++k) {
                if (!fits[k]) continue;
                fitted += 1.0;
                const double turn = ch.changes[k].phase * pi / 180.0;
                if (ch.changes[k].upper) {
                    record->upper_re += std::cos(turn);
                    record->upper_im += std::sin(turn);
                    record->upper_n += 1.0;
                } else {
                    record->lower_re += std::cos(turn);
                    record->lower_im += std::sin(turn);
                    record->lower_n += 1.0;
                }
            }
            record->weight += fitted;
            record->bit_sum += fitted * bit;
            record->lower_half += ch.lower_half;
            record->lower_count += ch.lower_count;
            record->upper_half += ch.upper_half;
            record->upper_count += ch.upper_count;
            record->last_frame = survey.stretch_start + survey.offset;
        }
    }
    ch.changes.clear();
    ch.lower_half = ch.lower_count = ch.upper_half = ch.upper_count = 0.0;
}

void end_window(tone_survey& survey, channel_survey& ch, double frames) {
    if (ch.window_energy > silent_square * frames) {
        ++ch.windows;
        if (ch.window_tone_energy >= carrier_share_needed * ch.window_energy &&
            ch.window_tone_frames > 0.0) {
            add_level(ch.carrier_levels,
                      std::sqrt(2.0 * ch.window_tone_energy / ch.window_tone_frames));
            ch.carrier_energy += ch.window_energy;
            ch.carrier_tone_energy += ch.window_tone_energy;
            const std::uint64_t frame = survey.stretch_start + survey.offset;
            if (ch.carrier_windows == 0) ch.first_carrier = frame;
            ch.last_carrier = frame;
            ++ch.carrier_windows;
        }
    }
    ch.window_energy = ch.window_tone_energy = ch.window_tone_frames = 0.0;
}

void start_stretch(tone_survey& survey) {
    survey.in_stretch = true;
    survey.stretch_start = survey.position;
    survey.offset = 0;
    survey.bit_left = survey.bit_window;
    survey.window_left = survey.window;
    for (std::size_t c = 0; c < survey.per_channel.size(); ++c) {
        channel_survey& ch = survey.per_channel[c];
        ch.previous = 0.0;
        ch.smoothed = 0.0;
        ch.recent.fill(0.0);
        ch.last_crossing = -1.0;
        ch.half_periods[0] = ch.half_periods[1] = 0.0;
        ch.half_energy = 0.0;
        ch.awaiting = false;
        ch.tone = 0;
        ch.s1[0] = ch.s1[1] = ch.s2[0] = ch.s2[1] = 0.0;
        ch.window_energy = ch.window_tone_energy = ch.window_tone_frames = 0.0;
    }
}

void end_stretch(tone_survey& survey) {
    for (channel_survey& ch : survey.per_channel)
        fold_stretch(survey, ch);
    survey.in_stretch = false;
}

// Frame survey.offset of the current stretch.
void analyse_frame(tone_survey& survey, const double* frame) {
    const bool bit_window_ends = --survey.bit_left == 0;
    if (bit_window_ends) survey.bit_left = survey.bit_window;
    const bool window_ends = --survey.window_left == 0;
    if (window_ends) survey.window_left = survey.window;
    const auto j = static_cast<double>(survey.offset);
    for (std::size_t c = 0; c < survey.per_channel.size(); ++c) {
        channel_survey& ch = survey.per_channel[c];
        const double x = frame[c];
        ch.analysed_peak = std::max(ch.analysed_peak, std::fabs(x));
        for (int k = 0; k < 2; ++k) {
            const double s = x + survey.bin_coefficient[k] * ch.s1[k] - ch.s2[k];
            ch.s2[k] = ch.s1[k];
            ch.s1[k] = s;
        }
        const double square = x * x;
        ch.window_energy += square;
        // The crossings are those of the sum of the last `smoothing` samples: hiss above
        // about a quarter of the sample rate adds none. Every crossing moves alike, so the
        // lengths, boundaries and phases measured do not change.
        const std::size_t slot = survey.offset & (survey_max_smoothing - 1);
        ch.smoothed += x - ch.recent[(slot + survey_max_smoothing - survey.smoothing) &
                                     (survey_max_smoothing - 1)];
        ch.recent[slot] = x;
        const double y = ch.smoothed;
        if ((ch.previous < 0.0) != (y < 0.0) && survey.offset > survey.smoothing) {
            // Where the line between the two samples crosses zero; the frame's energy is
            // shared between the half-periods it ends and begins.
            const double fraction = ch.previous / (ch.previous - y);
            const double at = j - 1.0 + fraction;
            const double energy = ch.half_energy + fraction * square;
            if (ch.last_crossing >= 0.0)
                half_period(ch, at - ch.last_crossing, at, y >= 0.0, energy);
            ch.last_crossing = at;
            ch.half_energy = (1.0 - fraction) * square;
        } else {
            ch.half_energy += square;
        }
        ch.previous = y;
        if (bit_window_ends) {
            const double n = survey.bit_window;
            double strongest = 0.0;
            for (int k = 0; k < 2; ++k) {
                const double m = ch.s1[k] * ch.s1[k] + ch.s2[k] * ch.s2[k] -
                                 survey.bin_coefficient[k] * ch.s1[k] * ch.s2[k];
                strongest = std::max(strongest, std::sqrt(std::max(m, 0.0)) / n);
                ch.s1[k] = ch.s2[k] = 0.0;
            }
            if (strongest > 1e-6) add_level(ch.configured, strongest);
        }
        if (window_ends) end_window(survey, ch, static_cast<double>(survey.window));
    }
}

}  // namespace

tone_survey make_tone_survey(std::int32_t sample_rate, std::int32_t channels,
                             std::int32_t baud_rate, std::int32_t lower_tone) {
    tone_survey s;
    s.sample_rate = std::max(sample_rate, 1);
    s.channels = std::max(channels, 1);
    s.bit_window = std::max(s.sample_rate / std::max(baud_rate, 1), 1);
    s.smoothing = 1;
    while (2 * s.smoothing <= survey_max_smoothing &&
           11025 * 2 * s.smoothing <= static_cast<std::size_t>(s.sample_rate))
        s.smoothing *= 2;
    const double bin = static_cast<double>(lower_tone / std::max(baud_rate, 1));  // a
    for (int k = 0; k < 2; ++k)
        s.bin_coefficient[k] = 2.0 * std::cos(2.0 * pi * (k + 1) * bin / s.bit_window);
    // Half-second stretches of 16 windows.
    s.window = std::max<std::uint64_t>(static_cast<std::uint64_t>(s.sample_rate) / 32, 4);
    s.stretch = 16 * s.window;
    s.dense = 8 * s.stretch;
    const std::int32_t surveyed = std::min(s.channels, survey_max_channels);
    s.per_channel.resize(static_cast<std::size_t>(surveyed));
    for (channel_survey& ch : s.per_channel) {
        ch.changes.reserve(survey_max_changes);
        ch.rates.reserve(survey_max_rates);
    }
    return s;
}

namespace {

// Walks the schedule over the next `frames` frames; load(f, out) writes frame f's samples,
// in fractions of full scale, to out (only the analysed frames are loaded).
template <class Load>
void survey_block(tone_survey& survey, std::size_t frames, Load load) {
    double frame[survey_max_channels];
    std::size_t f = 0;
    while (f < frames) {
        if (!survey.in_stretch) {
            // A stretch begins once the frames analysed, with it, fit within
            //   p T / (T + p) + p / 256 + one stretch
            // for p frames seen and T four seconds: nearly all of the first second, half
            // of the first four, ever sparser later on, and at least a 256th (about four
            // seconds of the first minute, six of ten minutes).
            const auto seen = static_cast<double>(survey.position);
            const auto span = static_cast<double>(survey.dense);
            const double allowed = seen * span / (span + seen) + seen / 256.0;
            if (static_cast<double>(survey.analysed) > allowed) {
                const std::uint64_t skip = std::min<std::uint64_t>(survey.stretch / 4, frames - f);
                f += static_cast<std::size_t>(skip);
                survey.position += skip;
                continue;
            }
            start_stretch(survey);
        }
        load(f, frame);
        analyse_frame(survey, frame);
        ++survey.offset;
        ++survey.analysed;
        ++survey.position;
        ++f;
        if (survey.offset == survey.stretch) end_stretch(survey);
    }
}

}  // namespace

void survey_frames(tone_survey& survey, const double* samples, std::size_t frames, double scale) {
    const auto channels = static_cast<std::size_t>(survey.channels);
    const std::size_t surveyed = survey.per_channel.size();
    survey_block(survey, frames, [&](std::size_t f, double* out) {
        for (std::size_t c = 0; c < surveyed; ++c)
            out[c] = samples[f * channels + c] * scale;
    });
}

double level_percentile(const level_histogram& h, double fraction) {
    if (h.total == 0) return 0.0;
    const auto wanted =
        static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(h.total)));
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < level_bins; ++b) {
        seen += h.counts[b];
        if (seen >= std::max<std::uint64_t>(wanted, 1)) {
            // The bin's middle.
            return std::pow(10.0, ((static_cast<double>(b) + 0.5) / 2.0 - 120.0) / 20.0);
        }
    }
    return 0.0;
}

double nominal_baud_rate(double baud) {
    return customary_baud_rate(baud);
}

namespace {

// The figures of one bit rate's stretches; the level is the channel's.
measured_carrier carrier_of(const tone_survey& survey, const rate_record& record,
                            measured_carrier m) {
    const double rate = survey.sample_rate;
    m.baud = rate / (record.bit_sum / record.weight);
    m.nominal_baud = nominal_baud_rate(m.baud);
    m.changes = static_cast<std::uint64_t>(record.weight);
    m.start_frame = record.first_frame;
    m.end_frame = record.last_frame;
    if (record.lower_count > 0.0)
        m.lower_tone = rate / (2.0 * record.lower_half / record.lower_count);
    if (record.upper_count > 0.0)
        m.upper_tone = rate / (2.0 * record.upper_half / record.upper_count);
    // Boundaries that agree (a mean phasor of at least 0.6) give a phase.
    const auto phase = [](double re, double im, double n) {
        if (n < 8.0 || std::hypot(re, im) < 0.6 * n) return not_surveyed;
        return wrap_degrees(std::atan2(im, re) * 180.0 / pi);
    };
    m.lower_phase = phase(record.lower_re, record.lower_im, record.lower_n);
    m.upper_phase = phase(record.upper_re, record.upper_im, record.upper_n);
    if (!std::isnan(m.lower_phase))
        m.polarity = (m.lower_phase >= 270.0 || m.lower_phase < 90.0) ? 1 : -1;
    return m;
}

}  // namespace

survey_finding survey_channel(const tone_survey& survey, std::int32_t channel) {
    survey_finding r;
    if (channel < 0 || channel >= static_cast<std::int32_t>(survey.per_channel.size())) return r;
    channel_survey ch = survey.per_channel[static_cast<std::size_t>(channel)];
    if (survey.in_stretch) fold_stretch(survey, ch);
    r.peak = std::max(ch.peak, ch.analysed_peak);
    r.configured = level_percentile(ch.configured, 0.9);
    r.carrier_share =
        ch.windows > 0 ? static_cast<double>(ch.carrier_windows) / static_cast<double>(ch.windows)
                       : 0.0;
    measured_carrier& m = r.carrier;
    m.channel = channel;
    if (ch.carrier_windows > 0) {
        m.level = level_percentile(ch.carrier_levels, 0.5);
        m.level_low = level_percentile(ch.carrier_levels, 0.1);
        m.level_high = level_percentile(ch.carrier_levels, 0.9);
        m.tone_share = ch.carrier_tone_energy / ch.carrier_energy;
        m.start_frame = ch.first_carrier;
        m.end_frame = ch.last_carrier;
    }
    const rate_record* best = nullptr;
    for (const rate_record& rate : ch.rates) {
        if (best == nullptr || rate.weight > best->weight) best = &rate;
        if (rate.weight >= static_cast<double>(survey_fewest_changes))
            r.carriers.push_back(carrier_of(survey, rate, m));
    }
    std::sort(r.carriers.begin(), r.carriers.end(),
              [](const measured_carrier& a, const measured_carrier& b) {
                  return a.start_frame < b.start_frame;
              });
    if (best != nullptr) m = carrier_of(survey, *best, m);
    return r;
}
