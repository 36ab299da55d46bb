#include "demod/detector.h"

#include <vector>

std::size_t detector_history(const demod_config& config) {
    return 3 * static_cast<std::size_t>(config.frames_per_bit) + 64;
}

int detect_bit(sample_window& window, std::uint64_t& cursor, const demod_config& config) {
    const auto n = static_cast<std::uint64_t>(config.frames_per_bit);
    const auto a = static_cast<std::size_t>(config.carrier_bin);

    // Entries a window at the end of the data leaves unfilled keep what the previous
    // position of this call put there (0 at the first position).
    std::vector<complex_value> samples(n);
    std::vector<complex_value> spectrum(n);
    double prev_low = 0.0;
    double prev_high = 0.0;
    while (has_frame(window, cursor)) {
        if (prev_low >= config.slide_level || prev_high >= config.slide_level) {
            cursor -= n - 1;  // start one frame after the previous window
        }
        for (std::size_t i = 0; i < n && has_frame(window, cursor); ++i, ++cursor)
            samples[i] = {frame_value(window, cursor), 0.0};
        mixed_radix_dft(samples.data(), spectrum.data(), config.frames_per_bit);
        const bit_verdict v = judge_bins(spectrum[a], spectrum[2 * a], config);
        if (v.bit >= 0) return v.bit;
        prev_low = v.low;
        prev_high = v.high;
    }
    return 0;
}
