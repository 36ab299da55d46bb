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

// A channel whose sound is carrier in less than this share of its windows holds noise.
constexpr double noise_share = 0.2;

// Peaks below this (-60 dBFS) are too faint to hold a signal worth a hint.
constexpr double faint_peak = 0.001;

// A tone's measure as the detector sees it, |X|/N of a one-bit window, is half its peak.
double tone_measure(const survey_finding& f) {
    return f.carrier.level / 2.0;
}

// How clearly a channel carries an FSK pair: its measured carrier or the configured tones.
double strength(const survey_finding& f) {
    return std::max(tone_measure(f), f.configured);
}

// A tone measure: as figure(), but nothing below 0.001 (a bin between the tones measures
// rounding errors, such as 9e-17), which reads 0.00.
std::string measure(double x) {
    return x < 0.001 ? "0.00" : figure(x);
}

// The whole multiple of `baud` nearest `tone`, at least `baud`.
double multiple_of(double tone, double baud) {
    return std::max(1.0, std::round(tone / baud)) * baud;
}

// The bit rate to suggest for a measured carrier: its customary rate, else its own.
double suggested_baud(const measured_carrier& m) {
    return m.nominal_baud > 0.0 ? m.nominal_baud : std::round(m.baud);
}

// The options that make the exact decoder read a measured carrier, or "-r" when none can:
// "-b 300 -w 2400", "-w 2400", "-b 300" (only what differs from the settings).
std::string suggested_options(const report_settings& s, const measured_carrier& m) {
    const double baud = m.baud > 0.0 ? suggested_baud(m) : s.baud_rate;
    const double tone = m.lower_tone > 0.0 ? multiple_of(m.lower_tone, baud) : s.lower_tone;
    const bool octave = !(m.lower_tone > 0.0 && m.upper_tone > 0.0) ||
                        (m.upper_tone > 1.9 * m.lower_tone && m.upper_tone < 2.1 * m.lower_tone);
    if (!octave || baud != std::round(baud) || 4.0 * tone >= s.sample_rate ||
        static_cast<std::int32_t>(s.sample_rate / baud) <=
            2 * static_cast<std::int32_t>(tone / baud))
        return "-r";
    std::string out;
    if (baud != s.baud_rate) out += print("-b %.0f", baud);
    if (tone != s.lower_tone) out += print("%s-w %.0f", out.empty() ? "" : " ", tone);
    return out.empty() ? "-r" : out;
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
    // A deviation that rounds to nothing is +0.0, not -0.0.
    const double percent = std::round(1000.0 * s.speed) / 10.0;
    if (!std::isnan(s.baud)) {
        // Measured: the customary rate nearest and how far off, or the rate itself.
        line += std::isnan(s.speed) ? print(", %.0f baud", s.baud)
                                    : print(", %.4g baud (%+.1f %%)", s.baud / (1.0 + s.speed),
                                            percent == 0.0 ? 0.0 : percent);
        line += print(", tones %.0f/%.0f Hz", s.lower_tone, s.upper_tone);
    } else if (!std::isnan(s.speed)) {
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
    if (s.measured_signal) {
        // Each carrier's own: the signals heard, as measured.
        std::string heard;
        for (const heard_signal& h : c.signals)
            heard += print("%s%.4g baud on %.0f/%.0f Hz", heard.empty() ? "" : ", ", h.baud,
                           h.lower_tone, h.upper_tone);
        line += "; " + (heard.empty() ? std::string("no signal measured") : "measured " + heard);
    } else {
        line += print("; %d baud, %d/%lld Hz", s.baud_rate, s.lower_tone, 2LL * s.lower_tone);
    }
    // The recovery demodulator sets its own levels: no threshold to report.
    if (!s.recovery) line += ", threshold " + figure(s.threshold);
    line += print(", channel %d of %d", s.channel + 1, s.channels);
    if (!s.recovery) {
        const std::string measured = measured_text(survey_channel(c.survey, s.channel).carrier);
        if (!measured.empty()) line += "; measured " + measured;
    }
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
                              ch + 1, measure(strength(there)).c_str(),
                              measure(strength(here)).c_str(), s.channel + 1, ch + 1);
        }
    }

    // Sound at the level of dither or hum from an open input is no recording to decode.
    if (here.peak < faint_peak) {
        return head + print("the recording holds almost no sound (peaks of %s of full scale)",
                            figure(here.peak).c_str());
    }

    // Noise spreads over every frequency: its zero crossings keep no steady rhythm, so few of
    // its windows pass for carrier, where a carrier's windows nearly all do.
    const measured_carrier& m = here.carrier;
    if (here.carrier_share < noise_share || m.level == 0.0) {
        return head + print(
                          "no tone pair stands out of its sound (peaks of %s of full scale, "
                          "its tones measure %s); check -b and -w, or the recording",
                          figure(here.peak).c_str(), measure(here.configured).c_str());
    }

    const double lower = s.lower_tone;
    const bool tones_differ =
        m.lower_tone > 0.0 && m.upper_tone > 0.0 && std::fabs(std::log(m.lower_tone / lower)) > 0.1;
    const bool baud_differs =
        m.baud > 0.0 && std::fabs(std::log(m.baud / s.baud_rate)) > std::log(1.25);
    if (tones_differ) {
        std::string line =
            head + print("its tones look like %.0f/%.0f Hz", m.lower_tone, m.upper_tone);
        if (baud_differs) line += print(" at about %.0f baud", suggested_baud(m));
        return line + print(", not %.0f/%.0f Hz; try %s", lower, 2.0 * lower,
                            suggested_options(s, m).c_str());
    }
    if (baud_differs) {
        return head + print("its bits look like %.0f baud, not %d; try %s", suggested_baud(m),
                            s.baud_rate, suggested_options(s, m).c_str());
    }
    if (s.measured_signal) {
        // It measured the signal of each carrier it heard: none was one it could read.
        return head + print(
                          "its tones measure %s of full scale, yet no carrier's bit rate and "
                          "tones could be measured; check the recording, or give -b and -w",
                          figure(tone_measure(here)).c_str());
    }
    if (s.recovery) {
        // The recovery demodulator follows the level and the polarity itself: -t and -p
        // would change nothing.
        return head + print(
                          "its tones measure %s of full scale, yet no carrier of %d baud on "
                          "%.0f/%.0f Hz was found; check -b and -w, or the recording",
                          figure(tone_measure(here)).c_str(), s.baud_rate, lower, 2.0 * lower);
    }
    if (tone_measure(here) <= s.threshold) {
        const double suggestion = 0.75 * tone_measure(here);
        return head + print(
                          "the strongest tone measures %s of full scale, below the threshold "
                          "%s (a peak of %s); try -r or -t %s",
                          figure(tone_measure(here)).c_str(), figure(s.threshold).c_str(),
                          figure(2.0 * s.threshold).c_str(), figure(suggestion).c_str());
    }
    return head + print("its tones measure %s of full scale, yet no byte was framed; try -p or -r",
                        figure(tone_measure(here)).c_str());
}

namespace {

// The exact decoder reads a bit from a window of N = rate / baud frames (rounded down), at
// bins a and 2a of its transform: in effect a bit rate of rate / N on tones a and 2a times
// that. Beyond these the bytes it frames are unlikely to be right.
constexpr double rate_tolerance = 0.07;       // of the bit rate (+-2 % speed passes, 8 kHz not)
constexpr double bin_tolerance = 0.35;        // of a bin, for either tone
constexpr double tone_share_tolerance = 0.1;  // and of the tone itself (as a log ratio)
// With one cycle of the lower tone a bit, it frames wrongly a recording whose tone, as it
// reads it (negated with -p), crosses zero rising at the bit boundaries (a phase of 270):
// within this many degrees of it the bytes are garbage, at 44.1 to 96 kHz. With more cycles
// a bit, any phase reads right.
constexpr double rising_tolerance = 45.0;

bool phase_misread(double phase, std::int32_t sign, double bin, double widen = 1.0) {
    if (bin != 1.0) return false;
    const double read = std::fmod(phase + (sign < 0 ? 180.0 : 0.0), 360.0);
    return std::fabs(read - 270.0) < widen * rising_tolerance;
}

const char* phase_name(double phase) {
    static const char* const names[] = {"at a peak", "crossing zero falling", "at a trough",
                                        "crossing zero rising"};
    return names[static_cast<int>(std::fmod(phase + 45.0, 360.0) / 90.0) % 4];
}

}  // namespace

std::optional<std::string> mismatch_warning(const report_collector& c) {
    const report_settings& s = c.settings;
    if (s.recovery || c.totals.bytes == 0 || s.baud_rate <= 0) return std::nullopt;
    const std::int32_t frames = s.sample_rate / s.baud_rate;
    if (frames <= 0) return std::nullopt;
    const survey_finding f = survey_channel(c.survey, s.channel);
    const measured_carrier& m = f.carrier;
    const double effective = static_cast<double>(s.sample_rate) / frames;
    const double bin = static_cast<double>(s.lower_tone / s.baud_rate);
    const std::string head = "fskdec: the bytes are likely wrong: ";

    const bool rate_measured = m.baud > 0.0 && m.changes >= survey_fewest_changes;
    const bool tones_measured = rate_measured && m.lower_tone > 0.0 && m.upper_tone > 0.0;
    const bool phase_measured = rate_measured && !std::isnan(m.lower_phase);
    // How far the measured figures lie from the decoder's, in its own units: a tone's offset
    // must be more than a third of a bin and more than a tenth of the tone (at 8 kHz and 300
    // baud a bin is an eighth of the upper tone, and 2 % slow reads right).
    const auto tone_offset = [&](double tone, double wanted_bin) {
        const double bins = std::fabs(tone * frames / s.sample_rate - wanted_bin);
        const double share = std::fabs(std::log(tone * frames / s.sample_rate / wanted_bin));
        return std::min(bins / bin_tolerance, share / tone_share_tolerance);
    };
    const double tones_by = tones_measured ? std::max(tone_offset(m.lower_tone, bin),
                                                      tone_offset(m.upper_tone, 2.0 * bin))
                                           : 0.0;
    const double rate_by =
        rate_measured ? std::fabs(std::log(m.baud / effective)) / rate_tolerance : 0.0;
    const bool tones_off = tones_by > 1.0;
    const bool rate_off = rate_by > 1.0;
    const bool phase_off = phase_measured && phase_misread(m.lower_phase, s.phase_sign, bin);

    if (tones_off) {
        return head + print("its tones measure %.0f/%.0f Hz, not %d/%d Hz; try %s", m.lower_tone,
                            m.upper_tone, s.lower_tone, 2 * s.lower_tone,
                            suggested_options(s, m).c_str());
    }
    if (rate_off) {
        if (std::fabs(std::log(m.baud / s.baud_rate)) <= rate_tolerance) {
            // The rate is right, the sample rate holds no whole number of frames per bit.
            return head + print(
                              "its bits measure %.0f baud, but at %d Hz the decoder reads %d "
                              "frames a bit (%.0f baud); try -r",
                              m.baud, s.sample_rate, frames, effective);
        }
        return head + print("its bits measure %.0f baud, not %d; try %s", m.baud, s.baud_rate,
                            suggested_options(s, m).c_str());
    }
    if (phase_off) {
        return head + print("its tones are %s at the bit boundaries (phase %.0f)%s; try %s",
                            phase_name(m.lower_phase), std::fmod(std::round(m.lower_phase), 360.0),
                            s.phase_sign < 0 ? ", negated by -p" : "",
                            s.phase_sign < 0 ? "without -p" : "-p");
    }
    // Bytes run into each other when the settings are wrong, and also on a recording written
    // without idle bits: that alone says nothing. It tips the balance when the survey found
    // the tones well on the way to a mismatch, or the phase near one, never when it found
    // nothing. (The bit rate leans too little: 2 % slow is already 4 % from the rate the
    // decoder reads at 44.1 kHz.)
    const std::uint64_t bytes = c.totals.bytes;
    const bool unframed = bytes >= 8 && 3 * c.bytes_without_idle > 2 * (bytes - 1);
    const bool leaning =
        tones_by > 0.6 || (phase_measured && phase_misread(m.lower_phase, s.phase_sign, bin, 1.5));
    if (unframed && leaning) {
        return head + print(
                          "%llu of %llu bytes have no idle bit after them; check -b, -w and "
                          "-p, or try -r",
                          static_cast<unsigned long long>(c.bytes_without_idle),
                          static_cast<unsigned long long>(bytes));
    }
    return std::nullopt;
}

std::string measured_text(const measured_carrier& m) {
    if (!(m.baud > 0.0)) return "";
    std::string text = print("%.0f baud", m.baud);
    if (m.nominal_baud > 0.0) {
        const double percent = std::round(1000.0 * (m.baud / m.nominal_baud - 1.0)) / 10.0;
        text = print("%.0f baud (%+.1f %%)", m.nominal_baud, percent == 0.0 ? 0.0 : percent);
    }
    if (m.lower_tone > 0.0 && m.upper_tone > 0.0)
        text += print(", tones %.0f/%.0f Hz", m.lower_tone, m.upper_tone);
    if (!std::isnan(m.lower_phase))
        text += print(", phase %.0f", std::fmod(std::round(m.lower_phase), 360.0));
    return text;
}
