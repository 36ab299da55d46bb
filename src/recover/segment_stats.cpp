#include "recover/segment_stats.h"

#include <algorithm>
#include <cmath>

#include "recover/tuning.h"

void begin_segment(segment_stats& s, std::uint64_t start_frame) {
    s = segment_stats{};
    s.segment.start_frame = start_frame;
}

void add_bit(segment_stats& s, double level, double win, double lose, bool mark) {
    const double signal = std::max(0.0, win * win - lose * lose);
    s.level_sum += level;
    s.level_count += 1.0;
    s.signal_sum += signal;
    s.noise_sum += lose * lose;
    s.tone_signal[mark ? 1 : 0] += signal;
    s.tone_noise[mark ? 1 : 0] += lose * lose;
}

bool is_noisy(const segment_stats& s) {
    return s.level_count >= tuning::frame_snr_bits &&
           s.tone_signal[0] < tuning::frame_snr * s.tone_noise[0] &&
           s.tone_signal[1] < tuning::frame_snr * s.tone_noise[1];
}

carrier_segment finish_segment(const segment_stats& s, std::uint64_t end_frame) {
    carrier_segment out = s.segment;
    out.end_frame = std::max(end_frame, out.start_frame);
    if (s.level_count > 0.0) out.level = s.level_sum / s.level_count;
    if (s.noise_sum > 0.0) {
        out.snr_db = 10.0 * std::log10(std::max(s.signal_sum, 1e-300) / s.noise_sum);
    } else {
        out.snr_db = s.signal_sum > 0.0 ? 99.0 : 0.0;
    }
    out.snr_db = std::min(out.snr_db, 99.0);
    if (s.speed_count > 0.0) out.speed = s.speed_sum / s.speed_count;
    // Within 60 degrees of either phase on average; a quarter turn (a differentiated or
    // all-pass-filtered signal) is neither.
    if (s.polarity_count > 0.0) {
        const double mean = s.polarity_sum / s.polarity_count;
        out.polarity = mean > tuning::polarity_cosine    ? 1
                       : mean < -tuning::polarity_cosine ? -1
                                                         : 0;
    }
    return out;
}
