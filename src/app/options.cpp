#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/cli.h"
#include "base/error.h"

int parse_options(int argc, const char* const* argv, decoder_settings& settings,
                  info_request* asked) {
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        if (arg[0] != '-' || std::strcmp(arg, "-") == 0) break;
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (asked != nullptr && info_option(arg) != info_request::none) {
            *asked = info_option(arg);
            return i;
        }
        if (std::strcmp(arg, "-b") == 0) {
            if (++i >= argc) break;
            settings.signal.baud_rate = positive_option(argv[i], "illegal baud rate");
            settings.signal_given = true;
        } else if (std::strcmp(arg, "-c") == 0) {
            if (++i >= argc) break;
            settings.channel = positive_option(argv[i], "illegal channel");
            if (settings.channel > 2) throw fskdec_error("illegal channel");
        } else if (std::strcmp(arg, "-j") == 0) {
            if (++i >= argc) break;
            settings.json_path = argv[i];
        } else if (std::strcmp(arg, "-m") == 0) {
            if (++i >= argc) break;
            settings.map_path = argv[i];
        } else if (std::strcmp(arg, "-p") == 0) {
            settings.signal.phase_sign = -1;
        } else if (std::strcmp(arg, "-q") == 0) {
            settings.quiet = true;
        } else if (std::strcmp(arg, "-r") == 0) {
            settings.recover = true;
        } else if (std::strcmp(arg, "-s") == 0) {
            if (++i >= argc) break;
            settings.split_dir = argv[i];
        } else if (std::strcmp(arg, "-t") == 0) {
            if (++i >= argc) break;
            double value = std::strtod(argv[i], nullptr);
            if (!(value > 0.0 && value < 1.0)) {
                throw fskdec_error("threshold must be between 0 and 1");
            }
            settings.threshold_ratio = value;
        } else if (std::strcmp(arg, "-v") == 0) {
            settings.verbose = true;
        } else if (std::strcmp(arg, "-w") == 0) {
            if (++i >= argc) break;
            settings.signal.lower_tone = positive_option(argv[i], "illegal carrier frequency");
            settings.signal_given = true;
        } else {
            // Skipped, as options of other versions may be passed; the caller says so.
            settings.unknown_options.emplace_back(arg);
        }
        ++i;
    }
    if (settings.signal.lower_tone % settings.signal.baud_rate != 0) {
        throw fskdec_error("illegal carrier frequency");
    }
    return i;
}

std::string usage_text(const decoder_settings& settings) {
    char last[128];
    std::snprintf(last, sizeof last, "default: -b %d -t %4.2f -w %d\n",
                  static_cast<int>(settings.signal.baud_rate), settings.threshold_ratio,
                  static_cast<int>(settings.signal.lower_tone));
    return std::string(
               "usage: fskdec [options] input-file output-file\n"
               "options:\n"
               " -b baud-rate\n"
               " -c channel\n"
               " -j json-report-file\n"
               " -m map-file\n"
               " -p (for reverse phase)\n"
               " -q (quiet)\n"
               " -r (recover damaged recordings)\n"
               " -s split-directory\n"
               " -t threshold-ratio\n"
               " -v (verbose)\n"
               " -w lower-carrier-wave\n") +
           last;
}
