#pragma once

#include <cstdint>

#include "recover/recover.h"

// A carrier segment's figures, gathered bit by bit while it lasts: level and SNR from the
// winning and losing tones, speed from the clock, polarity from the winning tone's phase at
// the bit boundaries of the first clear bits.
struct segment_stats {
    carrier_segment segment;
    double level_sum = 0.0, signal_sum = 0.0, noise_sum = 0.0, speed_sum = 0.0;
    double level_count = 0.0, speed_count = 0.0;
    double polarity_sum = 0.0, polarity_count = 0.0;
    // The signal and noise sums again, per tone (0 the lower): noise lowers both tones' ratio
    // alike, a tone off its nominal frequency only its own.
    double tone_signal[2] = {0.0, 0.0}, tone_noise[2] = {0.0, 0.0};
};

// Forgets all and starts a segment at this input frame.
void begin_segment(segment_stats& s, std::uint64_t start_frame);

// One bit: the winning tone's amplitude in sample units, and both tones' magnitudes; `mark`
// when the upper tone won.
void add_bit(segment_stats& s, double level, double win, double lose, bool mark);

// Whether the carrier's bits so far (enough of them to tell) stand less than
// tuning::frame_snr above the noise on both tones: the losing tone's energy against what the
// winning one has more, over each tone's bits (white noise lowers both alike, a tone off its
// nominal frequency, leaking into the other's correlator, only its own).
bool is_noisy(const segment_stats& s);

// The segment's figures, ending at this input frame.
carrier_segment finish_segment(const segment_stats& s, std::uint64_t end_frame);
