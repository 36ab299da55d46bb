#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "app/options.h"
#include "demod/dft.h"
#include "wav/wav.h"

// Everything the detector and the framing derive from the settings and the header,
// computed once per run. Integer quantities use division rounded toward zero.
struct demod_config {
    std::int32_t frames_per_bit = 0;  // N: window length in frames
    std::int32_t carrier_bin = 0;     // a: bin of the lower tone; the upper tone is at 2a
    std::int32_t carrier_period = 0;  // P: frames per period of the lower tone
    double detect_level = 0.0;        // a tone must exceed this magnitude
    double slide_level = 0.0;         // at or above this the window slides one frame
    std::size_t frame_bytes = 0;      // block_align
    std::int32_t quantization_bit = 0;
    std::int32_t phase_sign = 1;
};

// Derives the decoder's quantities. Throws fskdec_error "sample rate too low for the carrier
// frequency" unless the upper tone's bin 2a lies below the window length N, so that every
// bin read exists (this also rejects N = 0 and negative sample rates).
demod_config make_demod_config(const wav_format& format, const decoder_settings& settings);

// One window's verdict: the magnitudes of the two tones and the bit they decide, if any.
struct bit_verdict {
    double low = 0.0;
    double high = 0.0;
    int bit = -1;  // 0, 1, or -1 when neither tone qualifies
};

// Decides from the spectrum's bins a and 2a. Both detector paths call this one function,
// so their decisions can differ only if the bins themselves differ.
inline bit_verdict judge_bins(complex_value low_bin, complex_value high_bin,
                              const demod_config& config) {
    const double n = static_cast<double>(config.frames_per_bit);
    bit_verdict v;
    v.low = std::sqrt(low_bin.re * low_bin.re + low_bin.im * low_bin.im) / n;
    v.high = std::sqrt(high_bin.re * high_bin.re + high_bin.im * high_bin.im) / n;
    if (v.low > 2.0 * v.high && low_bin.re <= 0.0 && low_bin.im <= 0.0 &&
        v.low > config.detect_level) {
        v.bit = 0;
    } else if (v.high > 2.0 * v.low && high_bin.re <= 0.0 && high_bin.im <= 0.0 &&
               v.high > config.detect_level) {
        v.bit = 1;
    }
    return v;
}

// The plain detector: from `cursor` (a byte offset into `data`), moves a window of N frames
// forward, one frame at a time while either tone reached the slide level at the previous
// position and a whole window otherwise, until a window decides. Returns the bit with the
// cursor at the end of the deciding window, or 0 with the cursor at the end of the data.
// The whole spectrum of every window comes from mixed_radix_dft.
int detect_bit(std::span<const std::uint8_t> data, std::size_t& cursor, const demod_config& config);
