#pragma once

#include <cstdint>

#include "audio/sample_source.h"
#include "demod/signal.h"

// Everything the exact detector and its framing derive from the signal, the threshold and
// the recording, computed once per run. Integer quantities use division rounded toward zero.
struct demod_config {
    std::int32_t frames_per_bit = 0;  // N: window length in frames
    std::int32_t carrier_bin = 0;     // a: bin of the lower tone; the upper tone is at 2a
    std::int32_t carrier_period = 0;  // P: frames per period of the lower tone
    double detect_level = 0.0;        // a tone must exceed this magnitude
    double slide_level = 0.0;         // at or above this the window slides one frame
    std::int32_t phase_sign = 1;      // every sample is multiplied by this before analysis
};

// Derives the detector's quantities. Throws fskdec_error "illegal baud rate" or "illegal
// carrier frequency" for a rate or tone that is not positive, or a tone that is not a whole
// multiple of the rate, and "sample rate too low
// for the carrier frequency" unless the upper tone's bin 2a lies below the window length N,
// so that every bin read exists (this also rejects N = 0 and negative sample rates).
demod_config make_demod_config(const audio_format& format, const fsk_signal& signal,
                               double threshold_ratio);
