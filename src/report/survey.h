#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// The signal survey: what a recording holds, measured from its samples as they stream by,
// whatever the decoder's settings. It feeds the hint that explains a run that decoded nothing,
// the warning that the settings do not match the recording, and the -v summary.
//
// It reads stretches of half a second: nearly all of the first second, half of the first four,
// then ever fewer, down to a 256th of the recording, so its work stays a small fraction of the
// decoder's and its memory is fixed, whatever the recording's length. In each stretch and
// channel it follows the zero crossings of the sum of the last 1 to 8 samples (one per 11025 Hz of
// rate, so that hiss above a quarter of the rate adds none):
//   - a half-period as long as the one before it (within 20 %) belongs to a steady tone, and
//     its energy counts as the tone's; one that matches both neighbours within 10 % measures
//     its tone's frequency;
//   - a half-period half or twice as long as the one before the last marks a tone change; the
//     half-period that straddles it, read as a phase-continuous signal would run, gives the
//     bit boundary and the tone's phase there;
//   - at the stretch's end the boundaries are fitted to a bit grid (their spacings are whole
//     numbers of bits): its slope is the bit length.
// Stretches of the same bit rate (within 3 %) add up to one measured carrier; the dominant one
// is the carrier holding most of the fitted changes. The level comes from windows of about
// 30 ms: a window whose energy is mostly in steady tones is a window of carrier, and the
// percentiles of the tones' amplitude over those windows are its level (a burst of noise or a
// click moves no percentile much).

// Marks a figure the survey could not measure.
inline constexpr double not_surveyed = std::numeric_limits<double>::quiet_NaN();

// What the survey measured of one carrier: plain figures for the reports.
struct measured_carrier {
    std::int32_t channel = 0;       // the channel it is on, from 0
    std::uint64_t start_frame = 0;  // the first and one past the last frame of the stretches
    std::uint64_t end_frame = 0;    // in which it was measured
    double lower_tone = 0.0;        // Hz, each measured on its own; 0 when not measured
    double upper_tone = 0.0;
    double baud = 0.0;          // bits per second, from the spacing of tone changes; 0 if none
    double nominal_baud = 0.0;  // the customary rate within 8 % of it (300, 1200...), else 0
    // Phase of each tone at the bit boundaries, in degrees from 0 to 360, as the phase of a
    // cosine: 0 a positive peak, 90 a falling zero crossing, 180 a trough, 270 a rising zero
    // crossing. NaN when the boundaries disagree (noise, a tone not locked to the bits).
    double lower_phase = not_surveyed;
    double upper_phase = not_surveyed;
    // +1 when the lower tone lies in the positive half of its cycle at the bit boundaries
    // (phase from 270 up to 90), -1 in the negative half, 0 when not measured.
    int polarity = 0;
    // The tones' peak amplitude (fraction of full scale) over the windows of carrier: median,
    // 10th and 90th percentiles. 0 when no window held carrier.
    double level = 0.0;
    double level_low = 0.0;
    double level_high = 0.0;
    // The share of those windows' energy that steady tones hold (1 for a clean carrier).
    double tone_share = 0.0;
    std::uint64_t changes = 0;  // tone changes fitted to its bit grid
};

// Samples summed at most before the zero crossings are read (one per 11025 Hz of rate).
inline constexpr std::size_t survey_max_smoothing = 8;

// Channels surveyed at most; the others are ignored.
inline constexpr std::int32_t survey_max_channels = 2;

// Tone changes kept per stretch for the fit; more are ignored.
inline constexpr std::size_t survey_max_changes = 1024;

// Distinct bit rates kept per channel; a rate beyond them joins none.
inline constexpr std::size_t survey_max_rates = 8;

// A histogram of amplitudes in dB (fraction of full scale), for percentiles.
inline constexpr std::size_t level_bins = 256;  // 0.5 dB each, from -120 dBFS
struct level_histogram {
    std::array<std::uint32_t, level_bins> counts{};
    std::uint64_t total = 0;
};

// One tone change in the stretch being read (frames counted from the stretch's start).
struct tone_change {
    double at = 0.0;     // the bit boundary
    double phase = 0.0;  // the tone's phase there, in degrees
    bool upper = false;  // the new tone is the upper one
};

// A tone change found at a crossing, completed at the next.
struct pending_change {
    double at = 0.0;    // the crossing
    double half = 0.0;  // the half-period it ends
    double last = 0.0;  // the one before
    double old = 0.0;   // and the one before that, of the old tone
    bool rising = false;
};

// The stretches of one bit rate.
struct rate_record {
    double weight = 0.0;    // changes fitted
    double bit_sum = 0.0;   // sum of bit length (frames) times the changes
    double lower_re = 0.0;  // sums of e^(i phase) at the bit boundaries, per tone
    double lower_im = 0.0;
    double lower_n = 0.0;
    double upper_re = 0.0;
    double upper_im = 0.0;
    double upper_n = 0.0;
    double lower_half = 0.0;  // sums of the steady tones' half-periods, and their counts
    double lower_count = 0.0;
    double upper_half = 0.0;
    double upper_count = 0.0;
    std::uint64_t first_frame = 0;
    std::uint64_t last_frame = 0;
};

// One channel's running state and sums.
struct channel_survey {
    double peak = 0.0;  // largest |sample| over every frame (kept by the report's collector,
                        // when it reads every frame)
    double analysed_peak = 0.0;  // largest |sample| of the frames analysed
    // In the stretch being read.
    double previous = 0.0;  // the last smoothed sample
    double smoothed = 0.0;  // the sum of the last `smoothing` samples
    std::array<double, survey_max_smoothing> recent{};
    double last_crossing = -1.0;
    double half_periods[2] = {0.0, 0.0};  // the last two, newest first
    double half_energy = 0.0;             // sum of squares since the last crossing
    bool awaiting = false;                // a change was found at the last crossing
    pending_change pending;
    int tone = 0;             // since the last change: 1 lower, 2 upper, 0 unknown
    double lower_half = 0.0;  // this stretch's steady half-periods per tone
    double lower_count = 0.0;
    double upper_half = 0.0;
    double upper_count = 0.0;
    std::vector<tone_change> changes;
    // The window being read: all energy, the steady tones' energy and their frames.
    double window_energy = 0.0;
    double window_tone_energy = 0.0;
    double window_tone_frames = 0.0;
    // The configured tones as the default detector measures them (|X|/N at bins a and 2a of a
    // one-bit window), the stronger of the two per window.
    double s1[2] = {0.0, 0.0};
    double s2[2] = {0.0, 0.0};
    level_histogram configured;
    // Over the whole recording.
    level_histogram carrier_levels;  // the tones' peak amplitude in windows of carrier
    double carrier_energy = 0.0;     // all energy and the tones' in those windows
    double carrier_tone_energy = 0.0;
    std::uint64_t windows = 0;  // windows with sound
    std::uint64_t carrier_windows = 0;
    std::uint64_t first_carrier = 0;  // frames of the first and last window of carrier
    std::uint64_t last_carrier = 0;
    std::vector<rate_record> rates;
};

struct tone_survey {
    std::int32_t sample_rate = 0;
    std::int32_t channels = 0;
    std::int32_t bit_window = 0;      // N: frames per bit, as the detector's window
    std::size_t smoothing = 1;        // samples summed for the crossings: 1, 2, 4 or 8
    double bin_coefficient[2] = {};   // 2 cos w of the configured tones' bins a and 2a
    std::uint64_t stretch = 0;        // frames analysed in a row
    std::uint64_t window = 0;         // frames of a level window
    std::uint64_t dense = 0;          // frames seen by which half are analysed (4 s)
    std::uint64_t position = 0;       // frames seen so far
    std::uint64_t analysed = 0;       // frames analysed so far
    std::uint64_t stretch_start = 0;  // frame the stretch being read began at
    bool in_stretch = false;
    std::uint64_t offset = 0;       // frames into the stretch being read
    std::int32_t bit_left = 0;      // frames to the end of the current one-bit window
    std::uint64_t window_left = 0;  // and of the current level window
    std::vector<channel_survey> per_channel;
};

// A survey for a recording of `channels` channels at `sample_rate`, with the detector's
// one-bit window for `baud_rate` and `lower_tone` (for the configured tones' measure).
tone_survey make_tone_survey(std::int32_t sample_rate, std::int32_t channels,
                             std::int32_t baud_rate, std::int32_t lower_tone);

// Feeds `frames` interleaved frames of `channels` samples; each times `scale` is a fraction
// of full scale.
void survey_frames(tone_survey& survey, const double* samples, std::size_t frames,
                   double scale = 1.0);

// What the survey concludes for one channel (a stretch still being read counts as far as it
// went).
struct survey_finding {
    double peak = 0.0;           // largest |sample|, fraction of full scale
    double configured = 0.0;     // the configured tones' |X|/N, 90th percentile over windows
    double carrier_share = 0.0;  // share of the windows with sound that hold carrier
    measured_carrier carrier;    // the dominant carrier (figures 0 when none was found)
    // Every bit rate measured from at least survey_fewest_changes changes, by the first
    // stretch it was measured in (each with the channel's level figures).
    std::vector<measured_carrier> carriers;
};

// Tone changes a measured carrier rests on at least, to be listed among the carriers.
inline constexpr std::size_t survey_fewest_changes = 24;

survey_finding survey_channel(const tone_survey& survey, std::int32_t channel);

// The amplitude below which `fraction` of the histogram's entries lie (0 when empty).
double level_percentile(const level_histogram& h, double fraction);

// The customary bit rate within 8 % of `baud`, or 0.
double nominal_baud_rate(double baud);
