#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "demod/signal.h"
#include "mod/synth.h"

// What fskenc writes: the signal's timing and tones, the sample format and the idle runs.
struct encoder_settings {
    fsk_signal signal;                         // -b, -w; -p writes it inverted (fskdec -p reads it)
    std::int32_t sample_rate = 44100;          // frames per second
    std::int32_t quantization_bit = 16;        // 8 or 16
    double amplitude = 0.66;                   // peak as a fraction of full scale, in (0, 1]
    std::int32_t leader_bits = 1200;           // idle bits before the first byte
    std::int32_t gap_bits = 2;                 // idle bits after each byte
    std::int32_t trailer_bits = 60;            // idle bits after the last byte
    std::vector<std::string> unknown_options;  // the arguments the scan skipped, in order
};

enum class info_request;  // app/cli.h

// The lowest sample rate fskenc writes, as a multiple of the lower tone (three times the upper
// tone): 7200 Hz at 1200/2400 Hz. fskdec -r decodes every rate from about 4.7 times the lower
// tone up (measured over 300-2400 baud and 300-2400 Hz), and nothing reliably below it; the
// bound keeps a margin of over a quarter above that.
constexpr std::int64_t min_rate_per_lower_tone = 6;

// Scans argv from index 1 in the manner of fskdec's scan (--help and --version included, skipped
// arguments kept in settings.unknown_options), applies the options to `settings` and returns the
// index of the first operand. Throws fskdec_error on an invalid value, and after the scan on a
// carrier that is not a multiple of the baud rate or a sample rate below
// min_rate_per_lower_tone times the lower tone.
int parse_encoder_options(int argc, const char* const* argv, encoder_settings& settings,
                          info_request* asked = nullptr);

// The usage lines; the last one shows the settings in force.
std::string encoder_usage_text(const encoder_settings& settings);

// The synthesizer's description of the signal the settings ask for: mono, tone at a
// positive peak at every bit boundary (a trough with phase_sign -1), no noise.
synth_settings make_encoder_signal(const encoder_settings& settings);
