#include "app/encoder_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/cli.h"
#include "base/error.h"

namespace {

std::int32_t count_value(const char* text, const char* message) {
    const std::int32_t value = int_option(text, message);
    if (value < 0) throw fskdec_error(message);
    return value;
}

}  // namespace

int parse_encoder_options(int argc, const char* const* argv, encoder_settings& settings,
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
        if (std::strcmp(arg, "-p") == 0) {
            settings.signal.phase_sign = -1;
        } else if (std::strcmp(arg, "-8") == 0) {
            settings.quantization_bit = 8;
        } else if (std::strcmp(arg, "-a") == 0 || std::strcmp(arg, "-b") == 0 ||
                   std::strcmp(arg, "-e") == 0 || std::strcmp(arg, "-g") == 0 ||
                   std::strcmp(arg, "-l") == 0 || std::strcmp(arg, "-r") == 0 ||
                   std::strcmp(arg, "-w") == 0) {
            if (++i >= argc) break;
            const char* value = argv[i];
            switch (arg[1]) {
                case 'a': {
                    const double amplitude = std::strtod(value, nullptr);
                    if (!(amplitude > 0.0 && amplitude <= 1.0)) {
                        throw fskdec_error("amplitude must be between 0 and 1");
                    }
                    settings.amplitude = amplitude;
                    break;
                }
                case 'b':
                    settings.signal.baud_rate = positive_option(value, "illegal baud rate");
                    break;
                case 'e':
                    settings.trailer_bits = count_value(value, "illegal trailer bits");
                    break;
                case 'g':
                    settings.gap_bits = count_value(value, "illegal gap bits");
                    break;
                case 'l':
                    settings.leader_bits = count_value(value, "illegal leader bits");
                    break;
                case 'r':
                    settings.sample_rate = positive_option(value, "illegal sample rate");
                    break;
                default:
                    settings.signal.lower_tone =
                        positive_option(value, "illegal carrier frequency");
                    break;
            }
        } else {
            // Skipped, as fskdec skips it; the caller says so.
            settings.unknown_options.emplace_back(arg);
        }
        ++i;
    }
    if (settings.signal.lower_tone % settings.signal.baud_rate != 0) {
        throw fskdec_error("illegal carrier frequency");
    }
    // Only a recording fskdec can read is written. As the lower tone is a multiple of the
    // baud rate, this also gives every bit at least six frames.
    if (settings.signal.lower_tone * min_rate_per_lower_tone > settings.sample_rate) {
        throw fskdec_error("sample rate too low for the carrier frequency");
    }
    return i;
}

std::string encoder_usage_text(const encoder_settings& settings) {
    char last[160];
    std::snprintf(last, sizeof last, "default: -a %g -b %d -e %d -g %d -l %d -r %d -w %d\n",
                  settings.amplitude, static_cast<int>(settings.signal.baud_rate),
                  static_cast<int>(settings.trailer_bits), static_cast<int>(settings.gap_bits),
                  static_cast<int>(settings.leader_bits), static_cast<int>(settings.sample_rate),
                  static_cast<int>(settings.signal.lower_tone));
    return std::string(
               "usage: fskenc [options] input-file output-file\n"
               "options:\n"
               " -8 (for 8-bit samples)\n"
               " -a amplitude\n"
               " -b baud-rate\n"
               " -e trailer-bits\n"
               " -g gap-bits\n"
               " -l leader-bits\n"
               " -p (for reverse phase)\n"
               " -r sample-rate\n"
               " -w lower-carrier-wave\n") +
           last;
}

synth_settings make_encoder_signal(const encoder_settings& settings) {
    synth_settings signal;
    signal.sample_rate = settings.sample_rate;
    signal.quantization_bit = settings.quantization_bit;
    signal.channels = 1;
    signal.amplitude = settings.amplitude;
    signal.baud_rate = settings.signal.baud_rate;
    signal.lower_tone = settings.signal.lower_tone;
    // Reversed, the tone crosses zero rising at every bit boundary, a quarter period behind
    // the normal peak: fskdec -p, which negates every sample, then finds each bit's window
    // as early in the bit as fskdec finds it in the normal signal, and fskdec without -p
    // finds it half a period late.
    signal.phase_degrees = settings.signal.phase_sign < 0 ? 270.0 : 0.0;
    signal.leader_bits = settings.leader_bits;
    signal.gap_bits = settings.gap_bits;
    signal.trailer_bits = settings.trailer_bits;
    signal.noise = 0.0;
    return signal;
}
