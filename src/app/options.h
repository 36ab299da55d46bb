#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "demod/signal.h"

// What fskdec's command line sets.
struct decoder_settings {
    fsk_signal signal;              // -b, -w, -p
    bool signal_given = false;      // -b or -w: else -r measures each carrier's signal
    double threshold_ratio = 0.15;  // -t: detection level as a fraction of full scale
    std::int32_t channel = 1;       // -c: 1 or 2
    bool recover = false;           // -r: the recovery demodulator
    bool quiet = false;             // -q: nothing on standard error but failures
    bool verbose = false;           // -v: a report of the whole run on standard error
    std::string map_path;           // -m: where the map of the recording goes (none if empty)
    std::string json_path;          // -j: where the JSON report goes (none if empty)
    std::string split_dir;          // -s: the directory of one file per segment (none if empty)
    std::vector<std::string> unknown_options;  // the arguments the scan skipped, in order
};

enum class info_request;  // app/cli.h

// Scans argv from index 1, applies the options to `settings` and returns the index of the
// first operand. Throws fskdec_error on an invalid value or carrier/baud combination. With
// `asked`, a "--help" or "--version" met among the options ends the scan at once (before any
// later value is checked, and before the carrier/baud check) and is stored there; without
// it, or when none is met, those arguments are skipped like any unknown option. Every skipped
// argument is added to settings.unknown_options (also when the scan throws later), for the
// caller to say.
int parse_options(int argc, const char* const* argv, decoder_settings& settings,
                  info_request* asked = nullptr);

// The usage lines; the last one shows the settings in force.
std::string usage_text(const decoder_settings& settings);
