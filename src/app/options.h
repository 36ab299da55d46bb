#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct decoder_settings {
    std::int32_t baud_rate = 1200;      // bits per second
    std::int32_t lower_carrier = 1200;  // Hz of the 0 tone; the 1 tone is twice this
    double threshold_ratio = 0.15;      // detection level as a fraction of full scale
    std::int32_t phase_sign = 1;        // -1 reverses the signal's phase
};

enum class info_request;  // app/cli.h; declared here so that demod/ need not see cli.h

// Scans argv from index 1, applies the options to `settings` and returns the index of the
// first operand. Throws fskdec_error on an invalid value or carrier/baud combination. With
// `asked`, a "--help" or "--version" met among the options ends the scan at once (before any
// later value is checked, and before the carrier/baud check) and is stored there; without
// it, or when none is met, those arguments are skipped like any unknown option.
int parse_options(int argc, const char* const* argv, decoder_settings& settings,
                  info_request* asked = nullptr);

// The seven usage lines; the last one shows the settings in force.
std::string usage_text(const decoder_settings& settings);

// Writes usage_text to `stream`.
void print_usage(const decoder_settings& settings, std::FILE* stream);
