#include "report/survey.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;

tone_filter make_filter(double cycles_per_frame) {
    return {2.0 * std::cos(2.0 * pi * cycles_per_frame), 0.0, 0.0};
}

// |X| / length of the window just fed, and a fresh start for the next one.
double take_magnitude(tone_filter& f, double length) {
    const double square = f.s1 * f.s1 + f.s2 * f.s2 - f.coefficient * f.s1 * f.s2;
    f.s1 = 0.0;
    f.s2 = 0.0;
    return std::sqrt(std::max(square, 0.0)) / length;
}

// One zero crossing, `half_period` frames after the previous, at frame `at` of the stretch.
void crossing(const tone_survey& survey, channel_survey& ch, double half_period, double at) {
    const double straddle = ch.half_periods[0];
    const double before = ch.half_periods[1];
    ch.half_periods[1] = ch.half_periods[0];
    ch.half_periods[0] = half_period;
    if (ch.quiet > 0) {
        --ch.quiet;
        return;
    }
    // Comparing with the half-period before the last skips the one that straddles the
    // change, which is neither tone's.
    if (before <= 0.0 || (half_period < 1.6 * before && before < 1.6 * half_period)) return;
    ch.quiet = 2;
    ++ch.changes;
    // The bit boundary lies within the straddling half-period: take its middle.
    const double change = at - half_period - straddle / 2.0;
    for (std::size_t r = 0; r < std::size(survey_rates); ++r) {
        const double turn = 2.0 * pi * change * survey_rates[r] / survey.sample_rate;
        ch.grid_re[r] += std::cos(turn);
        ch.grid_im[r] += std::sin(turn);
    }
}

// Adds the stretch's tone changes to the fit; the grid's phase differs from one stretch to
// the next, so only the magnitudes add up.
void end_stretch(tone_survey& survey) {
    for (channel_survey& ch : survey.per_channel) {
        for (std::size_t r = 0; r < std::size(survey_rates); ++r) {
            ch.coherence[r] += ch.grid_re[r] * ch.grid_re[r] + ch.grid_im[r] * ch.grid_im[r];
            ch.grid_re[r] = ch.grid_im[r] = 0.0;
        }
        ch.change_squares += static_cast<double>(ch.changes) * ch.changes;
        ch.all_changes += ch.changes;
        ch.changes = 0;
    }
}

void start_stretch(tone_survey& survey, const double* frame) {
    survey.bit_left = survey.bit_window;
    survey.candidate_left = survey.candidate_window;
    for (std::int32_t c = 0; c < static_cast<std::int32_t>(survey.per_channel.size()); ++c) {
        channel_survey& ch = survey.per_channel[c];
        ch.previous = frame[c];
        ch.last_crossing = -1.0;
        ch.half_periods[0] = ch.half_periods[1] = 0.0;
        ch.quiet = 0;
        for (tone_filter& f : ch.bit_filters)
            f.s1 = f.s2 = 0.0;
        for (tone_filter& f : ch.candidate_filters)
            f.s1 = f.s2 = 0.0;
    }
}

// Frame `j` of the current stretch.
void analyse_frame(tone_survey& survey, const double* frame, std::uint64_t j) {
    // Countdowns rather than divisions: this runs on every analysed frame.
    const bool bit_window_ends = --survey.bit_left == 0;
    if (bit_window_ends) survey.bit_left = survey.bit_window;
    const bool candidate_window_ends = --survey.candidate_left == 0;
    if (candidate_window_ends) survey.candidate_left = survey.candidate_window;
    for (std::int32_t c = 0; c < static_cast<std::int32_t>(survey.per_channel.size()); ++c) {
        channel_survey& ch = survey.per_channel[c];
        const double x = frame[c];
        for (tone_filter& f : ch.bit_filters) {
            const double s = x + f.coefficient * f.s1 - f.s2;
            f.s2 = f.s1;
            f.s1 = s;
        }
        for (tone_filter& f : ch.candidate_filters) {
            const double s = x + f.coefficient * f.s1 - f.s2;
            f.s2 = f.s1;
            f.s1 = s;
        }
        if (bit_window_ends) {
            const double n = survey.bit_window;
            ch.lower = std::max(ch.lower, take_magnitude(ch.bit_filters[0], n));
            ch.upper = std::max(ch.upper, take_magnitude(ch.bit_filters[1], n));
        }
        if (candidate_window_ends) {
            const double l = survey.candidate_window;
            for (std::size_t k = 0; k < survey.candidates.size(); ++k) {
                ch.candidate_lower[k] =
                    std::max(ch.candidate_lower[k], take_magnitude(ch.candidate_filters[2 * k], l));
                ch.candidate_upper[k] = std::max(
                    ch.candidate_upper[k], take_magnitude(ch.candidate_filters[2 * k + 1], l));
            }
        }
        if ((ch.previous < 0.0) != (x < 0.0) && j > 0) {
            // Where the line between the two samples crosses zero.
            const double at = static_cast<double>(j) - 1.0 + ch.previous / (ch.previous - x);
            if (ch.last_crossing >= 0.0) crossing(survey, ch, at - ch.last_crossing, at);
            ch.last_crossing = at;
        }
        ch.previous = x;
    }
}

}  // namespace

tone_survey make_tone_survey(std::int32_t sample_rate, std::int32_t channels,
                             std::int32_t baud_rate, std::int32_t lower_tone,
                             std::uint64_t total_frames) {
    tone_survey s;
    s.sample_rate = std::max(sample_rate, 1);
    s.channels = std::max(channels, 1);
    s.bit_window = std::max(s.sample_rate / std::max(baud_rate, 1), 1);
    s.lower_tone = lower_tone;
    s.candidate_window = std::max(s.sample_rate / 300, 8);
    for (double c : survey_candidates)
        if (4.0 * c < s.sample_rate) s.candidates.push_back(c);
    if (lower_tone > 0 && 4.0 * lower_tone < s.sample_rate &&
        std::find(s.candidates.begin(), s.candidates.end(), static_cast<double>(lower_tone)) ==
            s.candidates.end()) {
        s.candidates.push_back(lower_tone);
        std::sort(s.candidates.begin(), s.candidates.end());
    }

    const std::uint64_t longest =
        static_cast<std::uint64_t>(std::max(s.bit_window, s.candidate_window));
    s.stretch =
        std::max<std::uint64_t>(static_cast<std::uint64_t>(s.sample_rate) / 20, 2 * longest);
    const bool short_recording =
        total_frames > 0 && total_frames <= 60 * static_cast<std::uint64_t>(s.sample_rate);
    // The extra frames move each stretch's start against the bit grid by about 0.618 of a
    // bit, so the one-bit windows meet the bits at every offset over a few stretches.
    const auto n = static_cast<std::uint64_t>(s.bit_window);
    s.period = (short_recording ? 2 : 64) * s.stretch + (n * 618 / 1000 | 1);

    const std::int32_t surveyed = std::min(s.channels, survey_max_channels);
    const double bin = lower_tone / std::max(baud_rate, 1);  // a, as the detector takes it
    for (std::int32_t c = 0; c < surveyed; ++c) {
        channel_survey ch;
        ch.bit_filters = {make_filter(bin / s.bit_window), make_filter(2.0 * bin / s.bit_window)};
        for (double tone : s.candidates) {
            ch.candidate_filters.push_back(make_filter(tone / s.sample_rate));
            ch.candidate_filters.push_back(make_filter(2.0 * tone / s.sample_rate));
        }
        ch.candidate_lower.assign(s.candidates.size(), 0.0);
        ch.candidate_upper.assign(s.candidates.size(), 0.0);
        ch.grid_re.assign(std::size(survey_rates), 0.0);
        ch.grid_im.assign(std::size(survey_rates), 0.0);
        ch.coherence.assign(std::size(survey_rates), 0.0);
        s.per_channel.push_back(std::move(ch));
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
        const std::uint64_t phase = survey.position % survey.period;
        if (phase >= survey.stretch) {
            const std::uint64_t skip = std::min<std::uint64_t>(survey.period - phase, frames - f);
            f += static_cast<std::size_t>(skip);
            survey.position += skip;
            continue;
        }
        load(f, frame);
        if (phase == 0) start_stretch(survey, frame);
        analyse_frame(survey, frame, phase);
        if (phase + 1 == survey.stretch) end_stretch(survey);
        ++survey.analysed;
        ++survey.position;
        ++f;
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

survey_finding survey_channel(const tone_survey& survey, std::int32_t channel) {
    survey_finding r;
    if (channel < 0 || channel >= static_cast<std::int32_t>(survey.per_channel.size())) return r;
    const channel_survey& ch = survey.per_channel[static_cast<std::size_t>(channel)];
    r.peak = ch.peak;
    r.lower = ch.lower;
    r.upper = ch.upper;
    std::size_t best = survey.candidates.size();
    for (std::size_t k = 0; k < survey.candidates.size(); ++k) {
        const double pair = std::min(ch.candidate_lower[k], ch.candidate_upper[k]);
        if (pair > r.best_pair) {
            r.best_pair = pair;
            best = k;
        }
        if (survey.candidates[k] == survey.lower_tone) r.configured_pair = pair;
    }
    if (best == survey.candidates.size()) return r;
    r.best_lower_tone = survey.candidates[best];

    // Bits last at least one cycle of the lower tone: faster grids fit the zero crossings of
    // a clean tone (a quarter period of the upper tone holds them all), not its bits. A
    // stretch cut short by the end of the recording still counts.
    double coherence[std::size(survey_rates)] = {};
    const double squares = ch.change_squares + static_cast<double>(ch.changes) * ch.changes;
    double best_fit = 0.0;
    for (std::size_t k = 0; k < std::size(survey_rates); ++k) {
        if (survey_rates[k] > r.best_lower_tone) break;
        coherence[k] =
            ch.coherence[k] + ch.grid_re[k] * ch.grid_re[k] + ch.grid_im[k] * ch.grid_im[k];
        best_fit = std::max(best_fit, coherence[k]);
    }
    if (ch.all_changes + ch.changes < 32 || best_fit < 0.2 * squares) return r;
    // Every multiple of the true rate fits too (its grid holds the true one); a fraction of
    // it does not. The slowest rate that fits nearly as well as the best is the one.
    for (std::size_t k = 0; k < std::size(survey_rates); ++k) {
        if (coherence[k] >= 0.5 * best_fit) {
            r.baud_estimate = survey_rates[k];
            break;
        }
    }
    return r;
}
