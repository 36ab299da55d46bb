#include "demod/detector.h"

#include <vector>

#include "base/error.h"

demod_config make_demod_config(const wav_format& format, const decoder_settings& settings) {
    // 64-bit arithmetic: 2a can exceed the 32-bit range and the rate may be negative.
    const std::int64_t n = std::int64_t{format.sample_rate} / settings.baud_rate;
    const std::int64_t a = std::int64_t{settings.lower_carrier} / settings.baud_rate;
    if (2 * a >= n) throw fskdec_error("sample rate too low for the carrier frequency");

    const double full_scale = format.quantization_bit == 8 ? 128.0 : 32768.0;
    demod_config config;
    config.frames_per_bit = static_cast<std::int32_t>(n);
    config.carrier_bin = static_cast<std::int32_t>(a);
    config.carrier_period = format.sample_rate / settings.lower_carrier;
    config.detect_level = full_scale * settings.threshold_ratio;
    config.slide_level = settings.threshold_ratio * 0.25 * full_scale;
    config.frame_bytes = static_cast<std::size_t>(format.block_align);
    config.quantization_bit = format.quantization_bit;
    config.phase_sign = settings.phase_sign;
    return config;
}

int detect_bit(std::span<const std::uint8_t> data, std::size_t& cursor,
               const demod_config& config) {
    const std::size_t end = data.size();
    const auto n = static_cast<std::size_t>(config.frames_per_bit);
    const std::size_t step = config.frame_bytes;
    const auto a = static_cast<std::size_t>(config.carrier_bin);

    // Entries a window at the end of the data leaves unfilled keep what the previous
    // position of this call put there (0 at the first position).
    std::vector<complex_value> window(n);
    std::vector<complex_value> spectrum(n);
    double prev_low = 0.0;
    double prev_high = 0.0;
    while (cursor < end) {
        if (prev_low >= config.slide_level || prev_high >= config.slide_level) {
            cursor -= (n - 1) * step;  // start one frame after the previous window
        }
        for (std::size_t i = 0; i < n && cursor < end; ++i, cursor += step) {
            const int sample = sample_at(data.data() + cursor, config.quantization_bit);
            window[i] = {static_cast<double>(sample * config.phase_sign), 0.0};
        }
        mixed_radix_dft(window.data(), spectrum.data(), config.frames_per_bit);
        const bit_verdict v = judge_bins(spectrum[a], spectrum[2 * a], config);
        if (v.bit >= 0) return v.bit;
        prev_low = v.low;
        prev_high = v.high;
    }
    return 0;
}
