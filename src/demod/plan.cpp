#include "demod/plan.h"

#include "base/error.h"

demod_config make_demod_config(const audio_format& format, const fsk_signal& signal,
                               double threshold_ratio) {
    if (signal.baud_rate <= 0) throw fskdec_error("illegal baud rate");
    if (signal.lower_tone <= 0 || signal.lower_tone % signal.baud_rate != 0) {
        throw fskdec_error("illegal carrier frequency");
    }
    // 64-bit arithmetic: 2a can exceed the 32-bit range and the rate may be negative.
    const std::int64_t n = std::int64_t{format.sample_rate} / signal.baud_rate;
    const std::int64_t a = std::int64_t{signal.lower_tone} / signal.baud_rate;
    if (2 * a >= n) throw fskdec_error("sample rate too low for the carrier frequency");

    demod_config config;
    config.frames_per_bit = static_cast<std::int32_t>(n);
    config.carrier_bin = static_cast<std::int32_t>(a);
    config.carrier_period = format.sample_rate / signal.lower_tone;
    config.detect_level = format.full_scale * threshold_ratio;
    config.slide_level = threshold_ratio * 0.25 * format.full_scale;
    config.phase_sign = signal.phase_sign;
    return config;
}
