#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A cheap look at the tones a recording holds, taken while it streams by, for the hint that
// explains a run that decoded nothing. Only stretches of about 50 ms are analysed, one in
// every 64 (one in 2 for recordings up to a minute), their starts staggered against the bit
// grid, so the work per frame stays a small fraction of the decoder's and the memory is
// fixed by the settings, whatever the recording's length.

// The candidate lower tones the survey compares (each with its double), besides the
// configured one.
inline constexpr double survey_candidates[] = {300.0, 600.0, 1200.0, 2400.0, 4800.0};

// Channels surveyed at most; the others are ignored.
inline constexpr std::int32_t survey_max_channels = 8;

// Goertzel filters: |sum x[m] e^(-i w m)| over a window, in one multiply-add per frame.
struct tone_filter {
    double coefficient = 0.0;  // 2 cos w
    double s1 = 0.0;
    double s2 = 0.0;
};

// One channel's measurements and running state.
struct channel_survey {
    // Largest |sample| of every frame, not just the stretches' (digital silence must be told
    // from a quiet signal), kept by the collector, which reads every frame anyway.
    double peak = 0.0;
    // The configured tones as the default detector sees them: |X|/N of a one-bit window at
    // bins a and 2a, in fractions of full scale (half the tone's peak), the largest seen.
    double lower = 0.0;
    double upper = 0.0;
    // Per candidate: the largest |X|/L at the lower tone and at its double.
    std::vector<double> candidate_lower;
    std::vector<double> candidate_upper;
    std::vector<tone_filter> bit_filters;        // the configured lower and upper tone
    std::vector<tone_filter> candidate_filters;  // lower, upper per candidate
    // Tone changes, found by zero crossings: a half-period half or twice as long as the one
    // before the last marks a change of tone. Their times are fitted against the bit grid of
    // each customary rate: at the true rate they fall in phase, at a fraction of it they
    // spread around the circle.
    double previous = 0.0;                // the last sample
    double last_crossing = -1.0;          // frame (within the stretch) of the last zero crossing
    double half_periods[2] = {0.0, 0.0};  // the last two, newest first
    int quiet = 0;                        // crossings to skip after a tone change
    std::vector<double> grid_re;          // per rate: this stretch's sum of e^(i 2 pi t rate)
    std::vector<double> grid_im;
    std::uint32_t changes = 0;      // tone changes in this stretch
    std::vector<double> coherence;  // per rate: sum over stretches of |sum|^2
    double change_squares = 0.0;    // sum over stretches of changes^2
    std::uint64_t all_changes = 0;
};

// The bit rates the baud estimate chooses from.
inline constexpr double survey_rates[] = {50,  75,   100,  110,  150,  200,  300,
                                          600, 1200, 2400, 4800, 9600, 19200};

struct tone_survey {
    std::int32_t sample_rate = 0;
    std::int32_t channels = 0;
    std::int32_t bit_window = 0;        // N: frames per bit, as the detector's window
    std::int32_t candidate_window = 0;  // L: frames of a candidate tone window (1/300 s)
    double lower_tone = 0.0;            // the configured lower tone, Hz
    std::vector<double> candidates;     // lower tones, Hz (the configured one included)
    std::uint64_t stretch = 0;          // frames analysed in a row
    std::uint64_t period = 0;           // frames from one stretch's start to the next
    std::uint64_t position = 0;         // frames seen so far
    std::uint64_t analysed = 0;         // frames analysed so far
    std::int32_t bit_left = 0;          // frames to the end of the current one-bit window
    std::int32_t candidate_left = 0;    // and of the current candidate window
    std::vector<channel_survey> per_channel;
};

// A survey for the configured baud rate and lower tone. `total_frames` (0 when unknown)
// selects the denser schedule for short recordings.
tone_survey make_tone_survey(std::int32_t sample_rate, std::int32_t channels,
                             std::int32_t baud_rate, std::int32_t lower_tone,
                             std::uint64_t total_frames);

// Feeds `frames` interleaved frames of `channels` samples; each times `scale` is a fraction
// of full scale.
void survey_frames(tone_survey& survey, const double* samples, std::size_t frames,
                   double scale = 1.0);

// What the survey concludes for one channel.
struct survey_finding {
    double peak = 0.0;
    double lower = 0.0;  // the configured tones, |X|/N, fraction of full scale
    double upper = 0.0;
    double best_lower_tone = 0.0;  // Hz, the candidate pair that stands out most; 0 if none
    double best_pair = 0.0;        // its weaker tone's largest |X|/L
    double configured_pair = 0.0;  // the same measure for the configured pair
    double baud_estimate = 0.0;    // from the tone changes; 0 when too few or no clear grid
};

survey_finding survey_channel(const tone_survey& survey, std::int32_t channel);
