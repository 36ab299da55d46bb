#include "report/lines.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

std::string print(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string print(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer, static_cast<std::size_t>(std::clamp(n, 0, 255)));
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return print("%llu %s", static_cast<unsigned long long>(n), n == 1 ? one : many);
}

// Two decimals down to 0.01, two significant figures below.
std::string figure(double x) {
    return x >= 0.01 || x == 0.0 ? print("%.2f", x) : print("%.2g", x);
}

// A channel whose tones hold less than this share of its peak holds noise, not a signal.
constexpr double noise_share = 0.15;

// Peaks below this (-60 dBFS) are too faint to hold a signal worth a hint.
constexpr double faint_peak = 0.001;

double strongest(const survey_finding& f) {
    return std::max(f.lower, f.upper);
}

// How clearly a channel carries an FSK pair: its configured tones or any candidate pair.
double strength(const survey_finding& f) {
    return std::max(strongest(f), f.best_pair);
}

}  // namespace

std::string format_time(std::uint64_t frame, std::int32_t sample_rate) {
    const auto rate = static_cast<std::uint64_t>(std::max(sample_rate, 1));
    const std::uint64_t ms = frame / rate * 1000 + (frame % rate * 1000 + rate / 2) / rate;
    const auto h = static_cast<unsigned long long>(ms / 3600000);
    const auto m = static_cast<unsigned long long>(ms / 60000 % 60);
    const auto s = static_cast<unsigned long long>(ms / 1000 % 60);
    const auto milli = static_cast<unsigned long long>(ms % 1000);
    if (h > 0) return print("%llu:%02llu:%02llu.%03llu", h, m, s, milli);
    return print("%llu:%02llu.%03llu", m, s, milli);
}

std::string format_dbfs(double level) {
    if (!(level > 0.0)) return "-inf dBFS";
    return print("%.1f dBFS", 20.0 * std::log10(level));
}

std::string segment_line(const report_settings& settings, const report_segment& s) {
    std::string line = "fskdec: carrier " + format_time(s.start_frame, settings.sample_rate) + "-" +
                       format_time(s.end_frame, settings.sample_rate) + ": " +
                       plural(s.bytes, "byte", "bytes");
    if (s.echo) line += " (print-through echo, not output)";
    if (!std::isnan(s.level)) line += ", " + format_dbfs(s.level);
    if (!std::isnan(s.snr_db)) line += print(", SNR %.1f dB", s.snr_db);
    if (!std::isnan(s.speed)) {
        // A deviation that rounds to nothing is +0.0, not -0.0.
        const double percent = std::round(1000.0 * s.speed) / 10.0;
        line += print(", speed %+.1f %%", percent == 0.0 ? 0.0 : percent);
    }
    if (s.polarity != 0) line += s.polarity > 0 ? ", polarity normal" : ", polarity inverted";
    if (settings.recovery)
        line += ", " + plural(s.framing_errors, "framing error", "framing errors");
    return line;
}

std::string doubtful_byte_line(const report_settings& settings, const report_byte& b) {
    std::string line = "fskdec: doubtful byte at " +
                       format_time(b.start_frame, settings.sample_rate) +
                       print(", offset %llu: 0x%02X", static_cast<unsigned long long>(b.offset),
                             unsigned{b.value});
    if (!std::isnan(b.confidence)) line += print(", confidence %.2f", b.confidence);
    if (b.framing_error) line += ", framing error";
    return line;
}

std::optional<std::string> doubtful_warning(const report_collector& c) {
    if (c.totals.doubtful == 0) return std::nullopt;
    std::string line =
        "fskdec: " + plural(c.totals.doubtful, "doubtful byte", "doubtful bytes") +
        print(" (framing errors or confidence below %.1f), first at", doubtful_confidence);
    for (std::size_t i = 0; i < c.first_doubtful.size(); ++i) {
        const report_byte& b = c.first_doubtful[i];
        line += (i > 0 ? ", " : " ") + format_time(b.start_frame, c.settings.sample_rate) +
                print(" (offset %llu)", static_cast<unsigned long long>(b.offset));
    }
    if (c.totals.doubtful > c.first_doubtful.size()) line += ", ...";
    return line;
}

std::string summary_line(const report_collector& c) {
    const report_settings& s = c.settings;
    std::string line = "fskdec: " + plural(c.totals.bytes, "byte", "bytes") + " in " +
                       plural(c.totals.segments, "segment", "segments") + " (carrier " +
                       format_time(c.totals.carrier_frames, s.sample_rate) + " of " +
                       format_time(c.totals.frames, s.sample_rate) + ")";
    if (s.recovery) {
        line += ", " + print("%llu doubtful", static_cast<unsigned long long>(c.totals.doubtful)) +
                ", " + plural(c.totals.framing_errors, "framing error", "framing errors");
        if (c.totals.measured > 0)
            line += print(", mean confidence %.2f",
                          c.totals.confidence_sum / static_cast<double>(c.totals.measured));
    }
    line += ", peak " + format_dbfs(c.totals.peak);
    line += print("; %d baud, %d/%lld Hz", s.baud_rate, s.lower_tone, 2LL * s.lower_tone);
    // The recovery demodulator sets its own levels: no threshold to report.
    if (!s.recovery) line += ", threshold " + figure(s.threshold);
    line += print(", channel %d of %d", s.channel + 1, s.channels);
    return line;
}

std::optional<std::string> no_bytes_hint(const report_collector& c) {
    if (c.totals.bytes > 0) return std::nullopt;
    const report_settings& s = c.settings;
    const std::string head = "fskdec: no bytes decoded: ";
    const survey_finding here = survey_channel(c.survey, s.channel);

    double loudest = 0.0;
    for (std::int32_t ch = 0; ch < static_cast<std::int32_t>(c.survey.per_channel.size()); ++ch)
        loudest = std::max(loudest, survey_channel(c.survey, ch).peak);
    if (loudest == 0.0) return std::nullopt;  // no sound: nothing to explain

    for (std::int32_t ch = 0; ch < static_cast<std::int32_t>(c.survey.per_channel.size()); ++ch) {
        if (ch == s.channel) continue;
        const survey_finding there = survey_channel(c.survey, ch);
        if (strength(there) >= 0.02 && strength(there) > 2.0 * strength(here)) {
            return head + print(
                              "the signal is on channel %d (%s of full scale there, %s on "
                              "channel %d); try -c %d",
                              ch + 1, figure(strength(there)).c_str(),
                              figure(strength(here)).c_str(), s.channel + 1, ch + 1);
        }
    }

    // Sound at the level of dither or hum from an open input is no recording to decode.
    if (here.peak < faint_peak) {
        return head + print("the recording holds almost no sound (peaks of %s of full scale)",
                            figure(here.peak).c_str());
    }

    const double lower = s.lower_tone;
    const bool baud_differs =
        here.baud_estimate > 0.0 &&
        std::fabs(std::log(here.baud_estimate / s.baud_rate)) > std::log(1.25);
    if (here.best_lower_tone > 0.0 && here.best_lower_tone != lower && here.best_pair >= 0.01 &&
        here.best_pair > 2.0 * here.configured_pair) {
        std::string line = head + print("its tones look like %.0f/%.0f Hz", here.best_lower_tone,
                                        2.0 * here.best_lower_tone);
        if (baud_differs) line += print(" at about %.0f baud", here.baud_estimate);
        line += print(", not %.0f/%.0f Hz; try ", lower, 2.0 * lower);
        // The options must make sense together: the lower tone a multiple of the baud rate.
        double baud = baud_differs ? here.baud_estimate : s.baud_rate;
        if (std::fmod(here.best_lower_tone, baud) != 0.0) baud = here.best_lower_tone;
        if (baud != s.baud_rate) line += print("-b %.0f ", baud);
        return line + print("-w %.0f", here.best_lower_tone);
    }
    if (baud_differs && strongest(here) > s.threshold) {
        std::string line = head + print("its bits look like %.0f baud, not %d; try -b %.0f",
                                        here.baud_estimate, s.baud_rate, here.baud_estimate);
        if (std::fmod(lower, here.baud_estimate) != 0.0)
            line += print(" with a lower tone that is a multiple of it");
        return line;
    }
    // Noise spreads over every frequency: no tone then holds much of the sound's peak,
    // where a tone of the pair holds half of it.
    if (strength(here) < noise_share * here.peak) {
        return head + print(
                          "no tone pair stands out of its sound (peaks of %s of full scale, "
                          "its tones measure %s); check -b and -w, or the recording",
                          figure(here.peak).c_str(), figure(strongest(here)).c_str());
    }
    if (s.recovery) {
        // The recovery demodulator follows the level and the polarity itself: -t and -p
        // would change nothing.
        return head + print(
                          "its tones measure %s of full scale, yet no carrier of %d baud on "
                          "%.0f/%.0f Hz was found; check -b and -w, or the recording",
                          figure(strongest(here)).c_str(), s.baud_rate, lower, 2.0 * lower);
    }
    if (strongest(here) <= s.threshold) {
        const double suggestion = 0.75 * strongest(here);
        return head + print(
                          "the strongest tone measures %s of full scale, below the threshold "
                          "%s (a peak of %s); try -r or -t %s",
                          figure(strongest(here)).c_str(), figure(s.threshold).c_str(),
                          figure(2.0 * s.threshold).c_str(), figure(suggestion).c_str());
    }
    return head + print("its tones measure %s of full scale, yet no byte was framed; try -p or -r",
                        figure(strongest(here)).c_str());
}
