#pragma once

#include <cstdint>

// The FSK signal both tools agree on: bit rate, the lower tone (a 0 bit; the upper tone, a 1
// bit, is twice it) and the polarity the detector reads it with.
struct fsk_signal {
    std::int32_t baud_rate = 1200;   // bits per second
    std::int32_t lower_tone = 1200;  // Hz, a whole multiple of baud_rate
    std::int32_t phase_sign = 1;     // -1 reads (or writes) the signal inverted
};
